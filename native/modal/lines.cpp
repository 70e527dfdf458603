// lines.cpp: cutting a streamed body into lines
#include "lines.h"

namespace corvel::modal {

namespace {
constexpr std::string_view bom = "\xEF\xBB\xBF";
}

void LineBuffer::feed(std::string_view bytes) {
    if (after_cr_ && !bytes.empty()) {
        // "\r\n" split between two reads: the line ended at the "\r" already.
        if (bytes.front() == '\n')
            bytes.remove_prefix(1);
        after_cr_ = false;
    }
    if (start_ > 0) {  // forget the lines already taken: at most once per read, so linear overall
        data_.erase(0, start_);
        scan_ -= start_;
        start_ = 0;
    }
    data_.append(bytes);
}

bool LineBuffer::skip_bom() {
    if (body_started_)
        return true;
    if (data_.size() < bom.size() && bom.starts_with(data_))
        return false;  // too little yet to tell
    if (std::string_view(data_).starts_with(bom))
        start_ = scan_ = bom.size();
    body_started_ = true;
    return true;
}

// Decided by the first byte that is not white space; false while none has arrived.
bool LineBuffer::decide_cut() {
    if (cut_ == Cut::lines)
        return true;
    size_t first = std::string_view(data_).find_first_not_of(" \t\r\n", start_);
    if (first == std::string_view::npos)
        return false;
    split_ = data_[first] != '{';
    cut_ = Cut::lines;
    return true;
}

bool LineBuffer::take(std::string_view &line) {
    if (!skip_bom() || !decide_cut() || !split_)
        return false;
    size_t end = std::string_view(data_).find_first_of("\r\n", scan_);
    if (end == std::string_view::npos) {
        scan_ = data_.size();
        return false;
    }
    line = std::string_view(data_).substr(start_, end - start_);
    size_t next = end + 1;
    if (data_[end] == '\r') {
        if (next == data_.size())
            after_cr_ = true;
        else if (data_[next] == '\n')
            ++next;
    }
    start_ = scan_ = next;
    return true;
}

bool LineBuffer::finish(std::string_view &line) {
    if (!skip_bom())  // the body was no more than the start of a byte-order mark
        start_ = data_.size();
    if (start_ >= data_.size())
        return false;
    line = std::string_view(data_).substr(start_);
    start_ = scan_ = data_.size();
    return true;
}

}  // namespace corvel::modal

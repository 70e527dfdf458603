// chunks.cpp: chunked transfer coding, the framing dropped
#include "chunks.h"

#include <algorithm>

namespace corvel::modal {

namespace {
// No size line is longer than this (a size and an extension, far beyond any real one), nor a trailer field
// longer than the other; a longer line is a broken or hostile body, refused before it takes memory.
constexpr size_t longest_size_line = 4096, longest_field = 65536;
}

// Gathers the current line; true once its "\n" has arrived.
bool ChunkDecoder::line(std::string_view &bytes) {
    size_t end = bytes.find('\n');
    size_t taken = end == std::string_view::npos ? bytes.size() : end + 1;
    size_t longest = state_ == State::trailer ? longest_field : longest_size_line;
    if (line_.size() + taken > longest) {
        line_.append(bytes.substr(0, longest - line_.size()));
        status_ = Status::invalid;
        bytes = {};
        return false;
    }
    line_.append(bytes.substr(0, taken));
    bytes.remove_prefix(taken);
    return end != std::string_view::npos;
}

// The size line just read: hexadecimal digits, then an extension after ";" and white space, all ignored.
void ChunkDecoder::sized() {
    std::string_view text = line_;
    text = text.substr(0, text.find(';'));
    size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
    text = first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
    bool valid = !text.empty();
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
    valid = valid && text.size() <= 15;  // 15 digits: sizes up to a petabyte, no overflow
    uint64_t size = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        valid = valid && digit >= 0;
        size = size * 16 + (uint64_t) (digit & 15);
    }
    if (!valid) {
        status_ = Status::invalid;
        return;
    }
    line_.clear();
    left_ = size;
    state_ = size ? State::data : State::trailer;
}

void ChunkDecoder::step(std::string_view &bytes) {
    switch (state_) {
    case State::size:
        if (line(bytes))
            sized();
        return;
    case State::data_end:  // the line break closing a chunk's data: "\r\n", or "\n" alone; else the size lied
        if (bytes.front() == '\r' && line_.empty()) {
            line_ = "\r";
            bytes.remove_prefix(1);
            return;
        }
        if (bytes.front() != '\n') {
            line_.append(bytes.substr(0, std::min<size_t>(bytes.size(), 16)));  // what came instead, to show
            status_ = Status::invalid;
            return;
        }
        bytes.remove_prefix(1);
        line_.clear();
        state_ = State::size;
        return;
    case State::trailer:  // header fields, ended by an empty line
        if (line(bytes)) {
            bool empty = line_ == "\n" || line_ == "\r\n";
            line_.clear();
            if (empty)
                status_ = Status::done;
        }
        return;
    case State::data:
        return;
    }
}

}  // namespace corvel::modal

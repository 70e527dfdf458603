// lines.h: an event-stream body cut into lines, in time linear in its length however it is framed
#pragma once

#include <string>
#include <string_view>

namespace corvel::modal {

// Bytes go in as they arrive; each line comes out as soon as its line break has arrived. A line break is
// "\n", "\r\n" or "\r", as the event-stream format has it, and a byte-order mark opening the body is dropped.
// Only the bytes that arrived since the last look are searched, so a line that arrives in many small pieces
// costs no more than one that arrives whole.
class LineBuffer {
public:
    // How the body is cut: into lines, or, for a body labelled as JSON, as one line when it turns out to be
    // one JSON object (a whole answer spread over lines) and into lines otherwise (mislabelled events).
    enum class Cut : unsigned char { lines, json_or_lines };

    LineBuffer() = default;
    explicit LineBuffer(Cut cut) : cut_(cut) {}

    void feed(std::string_view bytes);
    // The next complete line, without its break; valid until the next feed. False when none is complete.
    bool take(std::string_view &line);
    // Once the body has ended: the unterminated last line, if there is one.
    bool finish(std::string_view &line);

private:
    bool skip_bom();
    bool decide_cut();

    std::string data_;
    size_t start_ = 0;  // where the next line begins
    size_t scan_ = 0;   // how far data_ has been searched for a break
    Cut cut_ = Cut::lines;
    bool after_cr_ = false, body_started_ = false, split_ = true;
};

}  // namespace corvel::modal

// chunks.h: the data of a body sent in chunked transfer coding, from the bytes as they arrive
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel::modal {

// Reading a chunked body through urllib3 costs two generator resumptions, a readline, an int() and two
// reads per chunk, more than the rest of a streamed chunk's handling together. Fed what the connection
// returns (any number of chunks, or part of one, at a time), this hands on the data bytes and drops the
// framing: the size lines (extensions ignored), the line break after each chunk, the trailer section.
class ChunkDecoder {
public:
    enum class Status : unsigned char { more, done, invalid };

    // Calls `data(std::string_view)` with each run of data bytes in `bytes`; `done` once the last chunk and
    // the trailer section have been read (anything after them is ignored), `invalid` at a size line that is
    // not one, data longer than its size said or a line without end, after which it takes nothing more.
    template <class Data>
    Status feed(std::string_view bytes, Data &&data) {
        while (!bytes.empty() && status_ == Status::more) {
            if (state_ == State::data) {
                size_t run = left_ < bytes.size() ? (size_t) left_ : bytes.size();
                data(bytes.substr(0, run));
                bytes.remove_prefix(run);
                left_ -= run;
                if (left_ == 0)
                    state_ = State::data_end;
            } else {
                step(bytes);
            }
        }
        return status_;
    }

    // Whether the body may end here: after the last chunk, or within its trailer section (the reader of
    // the chunks' own library takes a body cut there as complete too).
    bool complete() const { return status_ == Status::done || state_ == State::trailer; }
    // What was refused (a size line, or what followed a chunk's data), for the error that reports it.
    std::string_view refused() const { return line_; }

private:
    enum class State : unsigned char { size, data, data_end, trailer };

    void step(std::string_view &bytes);
    bool line(std::string_view &bytes);
    void sized();

    std::string line_;  // the line being read (a size line or a trailer field), up to its "\n"
    uint64_t left_ = 0;  // data bytes still to come in the current chunk
    State state_ = State::size;
    Status status_ = Status::more;
};

}  // namespace corvel::modal

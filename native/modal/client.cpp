// client.cpp: the client's turn state and streaming mode
#include "modal.h"

namespace corvel::modal {

// A new list rather than clear(): a caller holding the old tool_calls keeps what it held.
nb::object reset(const Frame &f) {
    nb::handle self = f[0];
    self.attr("tool_calls") = nb::list();
    self.attr("_tool_calls_count") = 0;
    return nb::none();
}

// The "stream" option exactly as stored, so the request and the response handling always agree.
nb::object stream(const Frame &f) {
    return f[0].attr("extra_body").attr("get")("stream", false);
}

}  // namespace corvel::modal

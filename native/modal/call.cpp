// call.cpp: the entry point of a turn, and the one place a request goes out
#include "modal.h"

namespace corvel::modal {
namespace {

// An error body is quoted in the failure line and the exception: only its start, so that a service
// answering with megabytes (or a compressed bomb) cannot flood the application's log or memory.
constexpr Py_ssize_t quoted_bytes = 1000;
// A streamed error body is counted up to this size and no further: a body without end must not hang us.
constexpr Py_ssize_t counted_bytes = 16 << 20;

// The body's first bytes and its size, or -1 for a size past counted_bytes. A whole answer is in memory
// already; a streamed one is read in pieces, keeping only the start.
std::pair<nb::object, Py_ssize_t> error_body(nb::handle self, nb::handle http_response) {
    if (!truthy(self.attr("stream"))) {
        nb::object content = http_response.attr("content");
        return {content, length(content)};
    }
    nb::object head = nb::bytes("", 0);
    Py_ssize_t size = 0;
    for (nb::handle piece : http_response.attr("iter_content")(65536)) {
        if (length(head) < quoted_bytes)
            head = head + piece;
        size += length(piece);
        if (size > counted_bytes)
            return {head, -1};
    }
    return {head, size};
}

[[noreturn]] void raise_status(nb::handle function, nb::handle self, nb::handle http_response) {
    nb::object status = http_response.attr("status_code");
    auto [content, size] = error_body(self, http_response);
    nb::str quoted;
    if (size >= 0 && size <= quoted_bytes) {
        quoted = format(content);
    } else {
        nb::object head = nb::steal(PySequence_GetSlice(content.ptr(), 0, quoted_bytes));
        if (!head.is_valid())
            raise_from_python();
        quoted = size < 0 ? nb::str("{}... (more than {} bytes)").format(format(head), counted_bytes)
                          : nb::str("{}... ({} bytes in all)").format(format(head), size);
    }
    raise(PyExc_ValueError, "code: %U, content: %U", format(status).ptr(), redact(function, self, quoted).ptr());
}

}  // namespace

nb::object core_call(const Frame &f) {
    nb::handle self = f[0];
    nb::object http_response;
    try {
        http_response = f.global("requests").attr("post")(
            self.attr("endpoint_url"), "headers"_a = self.attr("_headers"), "json"_a = self.attr("_body"),
            "stream"_a = self.attr("stream"),
            // Without a limit a stalled service would hang the caller forever.
            "timeout"_a = self.attr("_timeout"));
        if (!equal(http_response.attr("status_code"), nb::int_(200)))
            raise_status(f.function(), self, http_response);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        fail(f.function(), self, "LLM request error: ", e.value(), false);
        throw;
    }
    if (truthy(self.attr("stream")))
        return self.attr("_stream_response")(http_response);
    return self.attr("_response")(http_response);
}

nb::object invoke(const Frame &f) {
    nb::handle self = f[0], prompt = f[1];
    // A turn starts clean: one left unfinished (a stream closed at its tool-call record) must not run its
    // calls in this one, a stop request left after the last record must not end it at once, and the
    // fallback of an earlier failure must not stand for this turn's.
    self.attr("_reset")();
    self.attr("_close") = false;
    self.attr("_fallback_for") = nb::none();
    nb::object roles = f.global("MessageRole");
    if (truthy(self.attr("system_prompt")) && length(self.attr("messages")) == 0)
        self.attr("add_message")("role"_a = roles.attr("system"), "content"_a = self.attr("system_prompt"));
    if (truthy(self.attr("images")) || length(prompt) > 0)
        self.attr("add_message")("role"_a = roles.attr("user"), "content"_a = prompt);
    return self.attr("_core_call")();
}

}  // namespace corvel::modal

// call.cpp: the entry point of a turn, and the one place a request goes out
#include "modal.h"

namespace corvel::modal {

nb::object core_call(const Frame &f) {
    nb::handle self = f[0];
    nb::object http_response;
    try {
        http_response = f.global("requests").attr("post")(
            self.attr("endpoint_url"), "headers"_a = self.attr("_headers"), "json"_a = self.attr("_body"),
            "stream"_a = self.attr("stream"),
            // Without a limit a stalled service would hang the caller forever.
            "timeout"_a = self.attr("_timeout"));
        nb::object status = http_response.attr("status_code");
        if (!equal(status, nb::int_(200)))
            raise(PyExc_ValueError, "code: %U, content: %U", format(status).ptr(),
                  redact(f.function(), self, format(http_response.attr("content"))).ptr());
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        report(f.function(), self, "LLM request error: ", e.value());
        record_fallback(f.function(), self, e.value());
        self.attr("_reset")();
        throw;
    }
    if (truthy(self.attr("stream")))
        return self.attr("_stream_response")(http_response);
    return self.attr("_response")(http_response);
}

nb::object invoke(const Frame &f) {
    nb::handle self = f[0], prompt = f[1];
    // A turn left unfinished (a stream closed at its tool-call record) must not run its calls in this one.
    self.attr("_reset")();
    nb::object roles = f.global("MessageRole");
    if (truthy(self.attr("system_prompt")) && length(self.attr("messages")) == 0)
        self.attr("add_message")("role"_a = roles.attr("system"), "content"_a = self.attr("system_prompt"));
    if (truthy(self.attr("images")) || length(prompt) > 0)
        self.attr("add_message")("role"_a = roles.attr("user"), "content"_a = prompt);
    return self.attr("_core_call")();
}

}  // namespace corvel::modal

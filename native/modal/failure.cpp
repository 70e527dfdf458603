// failure.cpp: the one way a failed request or answer is reported and recorded
#include "modal.h"

namespace corvel::modal {
namespace {

// Recording the fallback through add_message would join it onto an answer that is already the last
// record ("A1" becoming "A1The server is busy..."); it gets a record of its own instead.
bool would_join(nb::handle function, nb::handle self) {
    if (truthy(self.attr("retry")))
        return false;
    nb::object latest = self.attr("message_latest")("role"_a = global(function, "MessageRole").attr("assistant"));
    if (latest.is_none())
        return false;
    nb::object last = item(self.attr("messages"), -1);
    return last.is(latest) || equal(last, latest);
}

// The configured key, or None when there is none or it cannot be read now (a broken configuration file
// may itself be the failure being reported).
nb::object configured_key(nb::handle function, nb::handle self) {
    try {
        nb::object configurator = global(function, "Configurator");
        nb::object section = self.attr("section");
        if (!truthy(configurator.attr("has_option")(section, "api_key")))
            return nb::none();
        return format(configurator.attr("get")(section, "api_key")).attr("strip")();
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        return nb::none();
    }
}

// Shorter keys are not worth hiding and would turn every occurrence of common text into "[redacted]".
constexpr Py_ssize_t shortest_redacted_key = 8;

// requests attaches the request it sent, Authorization header included, to its exceptions; an application
// that logs the exception's attributes must not find the key there.
void scrub_request(nb::handle exc) {
    for (nb::handle owner : {exc, nb::handle(nb::getattr(exc, "response", nb::none()))}) {
        nb::object headers = nb::getattr(nb::getattr(owner, "request", nb::none()), "headers", nb::none());
        if (!headers.is_none() && truthy(headers.attr("__contains__")("Authorization")))
            headers["Authorization"] = "[redacted]";
    }
}

// Some exceptions say nothing (httpx's time-outs): the line names their type instead.
void print_line(nb::handle function, nb::handle self, const char *prefix, nb::handle exc) {
    nb::str text = format(exc);
    if (length(text) == 0)
        text = nb::borrow<nb::str>(type_of(exc).attr("__name__"));
    global(function, "print")(nb::str(prefix) + redact(function, self, text), "flush"_a = true);
}

}  // namespace

// A service may echo the request, Authorization header included, in its error body; the failure line and
// our own exception texts quote that body, and a key must never reach a log through them.
nb::str redact(nb::handle function, nb::handle self, nb::handle text) {
    nb::object key = configured_key(function, self);
    if (key.is_none() || length(key) < shortest_redacted_key)
        return nb::borrow<nb::str>(text);
    return nb::borrow<nb::str>(text.attr("replace")(key, "[redacted]"));
}

// The line is a courtesy: with standard output closed (a broken pipe) or unable to show the text, the
// failure is still recorded and raised, never replaced by the printing error.
void report(nb::handle function, nb::handle self, const char *prefix, nb::handle exc) {
    try {
        scrub_request(exc);
        print_line(function, self, prefix, exc);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
    }
}

// A failure passes outward through every level of the turn; the first level that has recorded no answer
// text of its own records the fallback, and no level records it again for the same failure. The turn,
// not the exception, remembers it: an application may raise one exception object in many turns.
void record_fallback(nb::handle function, nb::handle self, nb::handle exc) {
    if (private_attr(self, "_fallback_for").is(exc))
        return;
    nb::object fallback = self.attr("_default");
    nb::object assistant = global(function, "MessageRole").attr("assistant");
    if (would_join(function, self)) {
        nb::list contents;
        contents.append(fallback);
        self.attr("messages").attr("append")(global(function, "Message")("role"_a = assistant, "contents"_a = contents));
    } else {
        self.attr("add_message")("role"_a = assistant, "content"_a = fallback);
    }
    self.attr("_fallback_for") = exc;
}

void fail(nb::handle function, nb::handle self, const char *prefix, nb::handle exc, bool answered) {
    report(function, self, prefix, exc);
    if (!answered)
        record_fallback(function, self, exc);
    self.attr("_reset")();
}

}  // namespace corvel::modal

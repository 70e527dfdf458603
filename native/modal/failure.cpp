// failure.cpp: the one way a failed request or answer is reported and recorded
#include "modal.h"

namespace corvel::modal {
namespace {

// Set on an exception once its fallback answer is in the conversation. A failure raised deep in a turn
// passes outward through every enclosing level, and each level would otherwise record the fallback again.
constexpr const char *recorded_mark = "_corvel_fallback_recorded";

bool already_recorded(nb::handle exc) {
    nb::object mark = nb::steal(PyObject_GetAttrString(exc.ptr(), recorded_mark));
    if (!mark.is_valid())
        PyErr_Clear();
    return mark.is_valid() && truthy(mark);
}

void mark_recorded(nb::handle exc) {
    if (PyObject_SetAttrString(exc.ptr(), recorded_mark, Py_True) < 0)
        PyErr_Clear();  // an exception type without attributes: it simply cannot be deduplicated
}

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

}  // namespace

// A service may echo the request, Authorization header included, in its error body; the failure line and
// our own exception texts quote that body, and a key must never reach a log through them.
nb::str redact(nb::handle function, nb::handle self, nb::handle text) {
    nb::object key = configured_key(function, self);
    if (key.is_none() || length(key) == 0)
        return nb::borrow<nb::str>(text);
    return nb::borrow<nb::str>(text.attr("replace")(key, "[redacted]"));
}

void report(nb::handle function, nb::handle self, const char *prefix, nb::handle exc) {
    global(function, "print")(nb::str(prefix) + redact(function, self, format(exc)), "flush"_a = true);
}

void record_fallback(nb::handle function, nb::handle self, nb::handle exc) {
    if (already_recorded(exc))
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
    mark_recorded(exc);
}

void keep_partial_answer(nb::handle exc) { mark_recorded(exc); }

}  // namespace corvel::modal

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

}  // namespace

void report(nb::handle function, const char *prefix, nb::handle exc) {
    global(function, "print")(nb::str(prefix) + format(exc), "flush"_a = true);
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

}  // namespace corvel::modal

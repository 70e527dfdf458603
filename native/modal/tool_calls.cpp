// tool_calls.cpp: gathering the model's tool calls, running them, and summarising them by id
#include "modal.h"

namespace corvel::modal {
namespace {

// Some services send "tool_calls": null on every answer; that means none, as a missing key does.
nb::object calls_of(nb::handle message) {
    nb::object calls = get(message, "tool_calls");
    return calls.is_none() ? nb::list() : calls;
}

// The newest gathered call with this streamed index, or None.
nb::object newest_with_index(nb::handle gathered, nb::handle index) {
    for (Py_ssize_t i = length(gathered) - 1; i >= 0; --i) {
        nb::object call = item(gathered, i);
        if (equal(call.attr("get")("index"), index))
            return call;
    }
    return nb::none();
}

// A streamed fragment starts a call when its index is the next free one, or when it carries an id other
// than the call stored for its index (some local services number every parallel call 0). Any other
// fragment adds its piece of the arguments to the newest call of its index.
void gather_fragment(nb::handle gathered, nb::handle entry) {
    nb::object index = entry["index"];
    if (!index.is_none() && !PyLong_CheckExact(index.ptr()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(index.ptr())->tp_name);
    nb::object function = entry["function"];
    nb::object stored = newest_with_index(gathered, index);
    nb::object id = entry.attr("get")("id");
    bool next_free = stored.is_none() && equal(index, nb::int_(length(gathered)));
    bool other_id = !stored.is_none() && truthy(id) && !equal(id, stored.attr("get")("id"));
    if (next_free || other_id) {
        function.attr("update")(make_dict("arguments", function.attr("get")("arguments", "")));
        gathered.attr("append")(entry);
        return;
    }
    if (!truthy(function.attr("__contains__")("arguments")) || function["arguments"].is_none())
        return;
    nb::object target = stored.is_none() ? nb::object(gathered[index]) : stored;
    nb::object stored_function = target["function"];
    nb::object arguments = stored_function["arguments"], piece = function["arguments"];
    nb::object joined = nb::steal(PyNumber_InPlaceAdd(arguments.ptr(), piece.ptr()));
    if (!joined.is_valid())
        raise_from_python();
    stored_function["arguments"] = joined;
}

// The decoded JSON where it is a text or an object; otherwise the text as sent, which ToolContent can
// always hold (a tool answering 42 must not end the turn with a validation error).
nb::object decoded(const Frame &f, nb::handle text) {
    nb::object json = f.global("json");
    try {
        nb::object value = json.attr("loads")(text);
        if (PyUnicode_Check(value.ptr()) || PyDict_Check(value.ptr()))
            return value;
        return nb::borrow(text);
    } catch (nb::python_error &e) {
        if (!e.matches(json.attr("decoder").attr("JSONDecodeError")))
            throw;
        return nb::borrow(text);
    }
}

nb::object tool_content(const Frame &f, nb::handle name, nb::handle content) {
    return f.global("ToolContent")("name"_a = name, "content"_a = content);
}

}  // namespace

nb::object add_tool_calls(const Frame &f) {
    nb::handle self = f[0], message = f[1];
    nb::object calls = calls_of(message);
    if (PyList_CheckExact(calls.ptr()) && PyList_GET_SIZE(calls.ptr()) == 0)
        return nb::none();  // most deltas carry no calls: nothing to gather in either mode
    nb::object gathered = self.attr("tool_calls");
    if (!truthy(self.attr("stream"))) {
        gathered.attr("extend")(calls);
        return nb::none();
    }
    for (nb::handle entry : calls)
        gather_fragment(gathered, entry);
    return nb::none();
}

// One pass: the registry runs the calls first, then the assistant's call record and the results join the
// conversation together, so a registry that raises leaves no call record that no result answers.
nb::object tool_calls(const Frame &f) {
    nb::handle self = f[0];
    if (compare(self.attr("_tool_calls_count"), self.attr("tool_calls_limit"), Py_GE)) {
        nb::object limit_error = nb::steal(PyObject_CallOneArg(PyExc_ValueError, self.attr("_default").ptr()));
        record_fallback(f.function(), self, limit_error);
        self.attr("_reset")();
        PyErr_SetObject(PyExc_ValueError, limit_error.ptr());
        raise_from_python();
    }
    nb::object calls = self.attr("tool_calls");
    nb::object results = self.attr("tools")(calls);
    nb::object record = f.global("Message")("role"_a = f.global("MessageRole").attr("assistant"), "tool_calls"_a = calls);
    nb::list added;
    added.append(record);
    added.attr("extend")(results);
    self.attr("messages").attr("extend")(added);
    self.attr("tool_calls") = nb::list();
    self.attr("_tool_calls_count") = self.attr("_tool_calls_count") + nb::int_(1);
    expect_exact(results, &PyList_Type);
    return results;
}

nb::object t_calls_beautify(const Frame &f) {
    nb::handle calls = f[0];
    nb::dict summary;
    for (nb::handle call : calls) {
        nb::object function = call["function"];
        nb::object content = decoded(f, function["arguments"]);
        summary[nb::object(call["id"])] = tool_content(f, function["name"], content);
    }
    return summary;
}

nb::object t_results_beautify(const Frame &f) {
    nb::handle calls = f[0], results = f[1];
    nb::dict summary;
    for (nb::handle record : results) {
        nb::object id = record.attr("tool_call_id");
        if (!truthy(calls.attr("__contains__")(id)))
            continue;
        nb::object content = decoded(f, last(record.attr("contents")));
        summary[id] = tool_content(f, nb::object(calls[id]).attr("name"), content);
    }
    return summary;
}

}  // namespace corvel::modal

// tool_calls.cpp: gathering the model's tool calls, running them, and summarising them by id
#include "transport.h"

namespace corvel::modal {
namespace {

// Some services send "tool_calls": null on every answer; that means none, as a missing key does.
nb::object calls_of(nb::handle message) {
    nb::object calls = get(message, "tool_calls");
    return calls.is_none() ? nb::list() : calls;
}

// Where the newest call of each streamed index stands in the gathered list, so that a fragment finds its
// call at once however many calls an answer holds. The map remembers the list and the length it describes:
// when the list was replaced (a reset, a finished pass) or changed from outside, it is made anew from it.
struct IndexMap {
    nb::dict positions;

    static IndexMap of(nb::handle self, nb::handle gathered) {
        nb::object kept = private_attr(self, "_tool_index");
        if (PyTuple_CheckExact(kept.ptr()) && PyTuple_GET_SIZE(kept.ptr()) == 3 &&
            PyTuple_GET_ITEM(kept.ptr(), 0) == gathered.ptr() && equal(item(kept, 2), nb::int_(length(gathered))))
            return {nb::borrow<nb::dict>(item(kept, 1))};
        IndexMap map;
        Py_ssize_t n = length(gathered);
        for (Py_ssize_t i = 0; i < n; ++i)
            map.positions[get(item(gathered, i), "index")] = nb::int_(i);
        return map;
    }

    void keep(nb::handle self, nb::handle gathered) {
        self.attr("_tool_index") = nb::make_tuple(gathered, positions, length(gathered));
    }
};

// A streamed fragment joins the newest call of its own index. An index never seen starts a call, and so
// does a new id at a used index (some local services number every parallel call 0).
void gather_fragment(nb::handle gathered, IndexMap &map, nb::handle entry) {
    nb::object index = entry["index"];
    if (!index.is_none() && !PyLong_CheckExact(index.ptr()))
        raise(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(index.ptr())->tp_name);
    nb::object function = entry["function"];
    PyObject *position = PyDict_GetItemWithError(map.positions.ptr(), index.ptr());
    if (!position && PyErr_Occurred())
        raise_from_python();
    nb::object stored = position ? item(gathered, PyLong_AsSsize_t(position)) : nb::object();
    nb::object id = get(entry, "id");
    if (!stored.is_valid() || (truthy(id) && !equal(id, get(stored, "id")))) {
        function.attr("update")(make_dict("arguments", get(function, "arguments", nb::str(""))));
        map.positions[index] = nb::int_(length(gathered));
        gathered.attr("append")(entry);
        return;
    }
    nb::object piece = get(function, "arguments");
    if (piece.is_none())
        return;
    nb::object stored_function = stored["function"];
    nb::object joined = nb::steal(PyNumber_InPlaceAdd(nb::object(stored_function["arguments"]).ptr(), piece.ptr()));
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
        // Text nested too deep for the decoder is no JSON it can read either.
        if (!e.matches(json.attr("decoder").attr("JSONDecodeError")) && !e.matches(PyExc_RecursionError))
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
    IndexMap map = IndexMap::of(self, gathered);
    for (nb::handle entry : calls) {
        gather_fragment(gathered, map, entry);
        map.keep(self, gathered);
    }
    return nb::none();
}

namespace {

struct PassState {
    nb::object function, self;
    nb::object calls = {};
    auto refs() { return std::tie(function, self, calls); }
};

// One pass: the registry runs the calls first, then the assistant's call record and the results join the
// conversation together, so a registry that raises leaves no call record that no result answers.
template <class IO>
typename IO::Call tool_pass(PassState &s) {
    nb::handle self = s.self;
    if (compare(self.attr("_tool_calls_count"), self.attr("tool_calls_limit"), Py_GE)) {
        nb::object limit_error = nb::steal(PyObject_CallOneArg(PyExc_ValueError, self.attr("_default").ptr()));
        record_fallback(s.function, self, limit_error);
        self.attr("_reset")();
        reraise(limit_error);
    }
    s.calls = self.attr("tool_calls");
    nb::object results = co_await IO::run_tools(s.function, self, s.calls);
    nb::object record = global(s.function, "Message")("role"_a = global(s.function, "MessageRole").attr("assistant"),
                                                      "tool_calls"_a = s.calls);
    nb::list added;
    added.append(record);
    added.attr("extend")(results);
    self.attr("messages").attr("extend")(added);
    // The retried exchange now goes on past the newest user entry: the follow-up must carry the tool
    // exchange, and its answer belongs after it, not in the old answer's record.
    if (truthy(self.attr("retry")))
        self.attr("retry") = false;
    self.attr("tool_calls") = nb::list();
    self.attr("_tool_calls_count") = self.attr("_tool_calls_count") + nb::int_(1);
    expect_exact(results, &PyList_Type);
    co_return results;
}

}  // namespace

nb::object tool_calls(const Frame &f) {
    PassState s{nb::borrow(f.function()), nb::borrow(f[0])};
    return tool_pass<SyncIO>(s).run();
}

nb::object atool_calls(const Frame &f) { return make_coroutine<PassState>(f, tool_pass<AsyncIO>, f.function(), f[0]); }

nb::object t_calls_beautify(const Frame &f) {
    nb::handle calls = f[0];
    nb::dict summary;
    for (nb::handle call : calls) {
        nb::object function = call["function"];
        nb::object content = decoded(f, function["arguments"]);
        nb::object id = call["id"];
        summary[id] = tool_content(f, function["name"], content);
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

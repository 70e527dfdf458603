// stream.cpp: a streamed answer, read line by line as the service sends it
#include "modal.h"

#include <cstring>
#include <string_view>

namespace corvel::modal {
namespace {

// Everything that lives across a record handed to the consumer.
struct StreamState {
    nb::object function, self, response;
    nb::object lines = {}, line = {}, choice = {}, delta = {}, tool_calls = {}, tool_results = {};
    bool already_add = false;
    auto refs() { return std::tie(function, self, response, lines, line, choice, delta, tool_calls, tool_results); }
};

// Lines that carry no chunk: blank separators, comments (": keep-alive"), and the event, id and retry
// fields of the event-stream format, which real services send and which hold nothing for us.
bool carries_no_chunk(nb::handle line) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(line.ptr(), &data, &size) < 0)
        raise_from_python();
    std::string_view text(data, (size_t) size);
    return text.empty() || text.starts_with(':') || text.starts_with("event:") || text.starts_with("id:") ||
           text.starts_with("retry:");
}

// "data: {...}" to the chunk's text: the characters of "data: " are stripped from the left as a set, so
// "data:{...}" works too.
nb::object payload(nb::handle line) {
    nb::object text = nb::steal(PyUnicode_FromEncodedObject(line.ptr(), "utf-8", "strict"));
    if (!text.is_valid())
        raise_from_python();
    return text.attr("lstrip")("data: ");
}

nb::object record(StreamState &s, const char *status, nb::handle delta) {
    nb::dict fields = PyDict_CheckExact(delta.ptr()) ? nb::steal<nb::dict>(PyDict_Copy(delta.ptr())) : unpack(delta);
    if (!fields.is_valid())
        raise_from_python();
    fields["status"] = global(s.function, "LLMStatus").attr(status);
    nb::object result = nb::steal(PyObject_Call(global(s.function, "LLMResult").ptr(), nb::tuple().ptr(), fields.ptr()));
    if (!result.is_valid())
        raise_from_python();  // a field the model refuses (a reasoning text that is a list)
    return result;
}

// One chunk's choice: the first one, or None for a chunk without choices (usage, prompt filters).
nb::object first_choice(nb::handle chunk) {
    nb::object choices = chunk["choices"];
    if (PyList_Check(choices.ptr()) && PyList_GET_SIZE(choices.ptr()) == 0)
        return nb::none();
    return item(choices, 0);
}

// A choice without "delta" (a content-filter mode sends them) is an empty delta.
nb::object delta_of(nb::handle choice) { return get(choice, "delta", nb::dict()); }

// The line's chunk into s.choice (None for a chunk without choices); false at the "[DONE]" sentinel, which
// some services send instead of, or after, a finishing chunk.
bool read_choice(StreamState &s) {
    nb::object text = payload(s.line);
    if (PyUnicode_CompareWithASCIIString(text.ptr(), "[DONE]") == 0)
        return false;
    s.choice = first_choice(global(s.function, "json").attr("loads")(text));
    return true;
}

// requests' iter_lines() reads 512 bytes at a time and re-joins and re-splits the unfinished line after each
// read, so one long line costs time quadratic in its length (a 10 MB event took a minute of CPU). A chunked
// body is read piece by piece as the service sends it instead; any other response keeps the default.
nb::object lines_of(nb::handle response) {
    nb::object iter_lines = response.attr("iter_lines");
    nb::object raw = nb::getattr(response, "raw", nb::none());
    if (nb::getattr(raw, "chunked", nb::none()).is(Py_True))
        return iter_lines("chunk_size"_a = nb::none());
    return iter_lines();
}

Generator parse(StreamState &s) {
    nb::handle self = s.self;
    try {
        s.lines = nb::iter(lines_of(s.response));
        while ((s.line = corvel::next(s.lines))) {
            if (truthy(private_attr(self, "_close"))) {
                s.response.attr("close")();
                self.attr("_close") = false;
                self.attr("_reset")();
                break;
            }
            if (carries_no_chunk(s.line))
                continue;
            if (!read_choice(s))
                break;
            if (s.choice.is_none())
                continue;
            s.delta = self.attr("_message_process")(delta_of(s.choice));
            if (truthy(s.delta["reasoning_content"])) {
                nb::object reason = record(s, "reason", s.delta);
                co_yield std::move(reason);
            } else if (truthy(s.delta["content"])) {
                self.attr("add_message")("role"_a = global(s.function, "MessageRole").attr("assistant"),
                                         "content"_a = s.delta["content"]);
                s.already_add = true;
                nb::object answer = record(s, "answer", s.delta);
                co_yield std::move(answer);
            }
            if (!get(s.choice, "finish_reason").is_none())
                break;
        }
        if (truthy(self.attr("tool_calls"))) {
            s.tool_calls = self.attr("_t_calls_beautify")(self.attr("tool_calls"));
            if (compare(self.attr("_tool_calls_count"), self.attr("tool_calls_limit"), Py_LT)) {
                nb::object calls = global(s.function, "LLMResult")(
                    "tool_calls"_a = s.tool_calls, "status"_a = global(s.function, "LLMStatus").attr("tool_calls"));
                co_yield std::move(calls);
            }
            s.tool_results = self.attr("_t_results_beautify")(s.tool_calls, self.attr("_tool_calls")());
            nb::object results = global(s.function, "LLMResult")(
                "tool_results"_a = s.tool_results, "status"_a = global(s.function, "LLMStatus").attr("tool_results"));
            co_yield std::move(results);
            nb::object follow_up = self.attr("_core_call")();
            co_await yield_from(std::move(follow_up));
        }
        self.attr("_reset")();
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        report(s.function, self, "Error parsing LLM response: ", e.value());
        if (!s.already_add)
            record_fallback(s.function, self, e.value());
        else
            keep_partial_answer(e.value());
        self.attr("_reset")();
        throw;
    }
    co_return nb::none();
}

}  // namespace

nb::object stream_response(const Frame &f) {
    return make_generator<StreamState>(f, parse, f.function(), f[0], f[1]);
}

}  // namespace corvel::modal

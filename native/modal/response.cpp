// response.cpp: a whole (non-streamed) answer, and the processing of one message or delta
#include "transport.h"

namespace corvel::modal {
namespace {

// A missing key and null both mean the empty text; other values pass unchanged.
nb::object text_of(nb::handle message, nb::detail::str_key key) {
    nb::object value = get(message, key);
    return value.is_none() ? nb::str("") : value;
}

PyObject *refuse_constant(PyObject *, PyObject *name) noexcept {
    PyErr_Format(PyExc_ValueError, "the JSON constant %S is not allowed in an answer", name);
    return nullptr;
}

PyMethodDef refuse_constant_def = {"refuse_constant", refuse_constant, METH_O, nullptr};

}  // namespace

nb::object json_constant_refusal() {
    nb::object refuse = nb::steal(PyCFunction_New(&refuse_constant_def, nullptr));
    if (!refuse.is_valid())
        raise_from_python();
    return refuse;
}

nb::object message_process(const Frame &f) {
    nb::handle self = f[0], message = f[1];
    self.attr("_add_tool_calls")(message);
    // Newer services name the reasoning text "reasoning".
    nb::object reasoning = get(message, "reasoning_content");
    reasoning = reasoning.is_none() ? text_of(message, "reasoning") : reasoning;
    return make_dict("reasoning_content", reasoning, "content", text_of(message, "content"));
}

namespace {

struct ResponseState {
    nb::object function, self, response;
    nb::object calls = {}, pass = {};
    auto refs() { return std::tie(function, self, response, calls, pass); }
};

// A whole answer: recorded, and when it asks for tools, the pass run and the follow-up's result joined on.
template <class IO>
typename IO::Call whole_answer(ResponseState &s) {
    nb::handle self = s.self;
    nb::object assistant = global(s.function, "MessageRole").attr("assistant");
    bool already_add = false;
    try {
        co_await IO::read_body(s.response);
        nb::object answer = IO::json(s.function, s.response);
        // Counted before the answer is read: a request costs what it costs, whether its answer is usable.
        count_usage(s.function, self, reported_usage(answer));
        nb::object choice = subscript(answer["choices"], nb::int_(0));
        nb::object message = self.attr("_message_process")(choice["message"]);
        // Without tool calls the answer is recorded even when empty; with them, only when it has text.
        if (!truthy(self.attr("tool_calls")) || truthy(message["content"])) {
            self.attr("add_message")("role"_a = assistant, "content"_a = message["content"]);
            already_add = true;
        }
        if (truthy(self.attr("tool_calls"))) {
            s.calls = self.attr("_t_calls_beautify")(self.attr("tool_calls"));
            nb::object results = co_await IO::tool_pass(self);
            s.pass = global(s.function, "LLMResult")(
                "tool_calls"_a = s.calls, "tool_results"_a = self.attr("_t_results_beautify")(s.calls, results));
            nb::object follow_up = co_await IO::follow_up(self);
            co_return s.pass + follow_up;
        }
        self.attr("_reset")();
        nb::dict fields = unpack(message);
        if (truthy(fields.attr("__contains__")("status")))
            raise(PyExc_TypeError, "LLMResult() got multiple values for keyword argument 'status'");
        fields["status"] = global(s.function, "LLMStatus").attr("idle");
        nb::object result = nb::steal(PyObject_Call(global(s.function, "LLMResult").ptr(), nb::tuple().ptr(), fields.ptr()));
        if (!result.is_valid())
            raise_from_python();  // a field the model refuses (a reasoning text that is a list)
        co_return result;
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        fail(s.function, self, "Error parsing LLM response: ", e.value(), already_add);
        throw;
    }
}

}  // namespace

nb::object response(const Frame &f) {
    ResponseState s{nb::borrow(f.function()), nb::borrow(f[0]), nb::borrow(f[1])};
    return whole_answer<SyncIO>(s).run();
}

nb::object aresponse(const Frame &f) {
    return make_coroutine<ResponseState>(f, whole_answer<AsyncIO>, f.function(), f[0], f[1]);
}

}  // namespace corvel::modal

// call.cpp: the entry points of a turn, and the one place a request goes out
#include "transport.h"

namespace corvel::modal {
namespace {

// An error body is quoted in the failure line and the exception: only its start, so that a service
// answering with megabytes (or a compressed bomb) cannot flood the application's log or memory.
constexpr Py_ssize_t quoted_bytes = 1000;
// An error body is counted up to this size and no further: a body without end must not hang us.
constexpr Py_ssize_t counted_bytes = 16 << 20;

// `size` is the body's size, or more than counted_bytes when it was not read to its end.
[[noreturn]] void raise_status(nb::handle function, nb::handle self, nb::handle response, nb::handle head,
                               Py_ssize_t size) {
    nb::object status = response.attr("status_code");
    nb::str quoted;
    if (size <= quoted_bytes) {
        quoted = format(head);
    } else {
        nb::object start = nb::steal(PySequence_GetSlice(head.ptr(), 0, quoted_bytes));
        if (!start.is_valid())
            raise_from_python();
        quoted = size > counted_bytes ? nb::str("{}... (more than {} bytes)").format(format(start), counted_bytes)
                                      : nb::str("{}... ({} bytes in all)").format(format(start), size);
    }
    raise(PyExc_ValueError, "code: %U, content: %U", format(status).ptr(), redact(function, self, quoted).ptr());
}

struct CallState {
    nb::object function, self;
    nb::object response = {}, pieces = {}, head = {}, failure = {};
    auto refs() { return std::tie(function, self, response, pieces, head, failure); }
};

// Whether to send the request again after `attempt` failed: while the configuration allows retries and it
// failed in a way worth retrying (a connection that could not be made or broke before the answer began, or
// a status that says "busy"). Then the pause is noted and its length returned; otherwise None, and the last
// failure is handled as if it were the only one.
nb::object retry_wait(CallState &s, nb::handle policy, Py_ssize_t attempt, Py_ssize_t retries) {
    if (attempt >= retries)
        return nb::none();
    nb::object headers = nb::none(), reason;
    if (s.failure.is_valid()) {
        if (!truthy(policy.attr("retryable_error")(s.failure)))
            return nb::none();
        reason = format(s.failure);
    } else {
        nb::object status = s.response.attr("status_code");
        if (!truthy(policy.attr("STATUSES").attr("__contains__")(status)))
            return nb::none();
        headers = s.response.attr("headers");
        reason = nb::str("status {}").format(status);
    }
    nb::object wait = policy.attr("delay")(attempt, headers);
    policy.attr("note")(attempt, retries, wait, redact(s.function, s.self, reason));
    return wait;
}

// One request: sent, its status checked (an error body read only as far as it is quoted), and the answer
// handed to the parser of its mode. Failures of the request are reported and recorded here; failures of
// the answer by the parsers.
template <class IO>
typename IO::Call call(CallState &s) {
    nb::handle self = s.self;
    try {
        nb::object policy = global(s.function, "_retry");
        Py_ssize_t retries = nb::cast<Py_ssize_t>(policy.attr("attempts")(self.attr("section")));
        for (Py_ssize_t attempt = 0;; ++attempt) {
            s.failure = nb::object();
            try {
                s.response = co_await IO::post(s.function, self);
            } catch (nb::python_error &e) {
                if (attempt >= retries)
                    throw;
                s.failure = nb::borrow(e.value());
            }
            nb::object wait = retry_wait(s, policy, attempt, retries);
            if (wait.is_none() && s.failure.is_valid())
                reraise(s.failure);
            if (wait.is_none())
                break;
            if (!s.failure.is_valid())
                co_await IO::close(s.response);  // its connection is of no more use to this request
            co_await IO::sleep(s.function, wait);
        }
        if (!equal(s.response.attr("status_code"), nb::int_(200))) {
            s.pieces = IO::error_pieces(self, s.response);
            s.head = nb::bytes("", 0);
            Py_ssize_t size = 0;
            while (size <= counted_bytes) {
                nb::object piece;
                try {
                    piece = co_await IO::next(s.pieces);
                } catch (nb::python_error &e) {
                    if (!is_end(e))
                        throw;
                }
                if (!piece.is_valid() || piece.is_none())
                    break;
                if (length(s.head) < quoted_bytes)
                    s.head = s.head + piece;
                size += length(piece);
            }
            co_await IO::close(s.response);
            raise_status(s.function, self, s.response, s.head, size);
        }
        // A whole answer is read here, as requests reads it with the headers: a connection that breaks
        // while it arrives is a failure of the request in either transport.
        if (!truthy(self.attr("stream")))
            co_await IO::read_body(s.response);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        fail(s.function, self, "LLM request error: ", e.value(), false);
        throw;
    }
    if (truthy(self.attr("stream")))
        co_return IO::stream(self, s.response);
    co_return co_await IO::whole(self, s.response);
}

// What every turn does first, awaited or not. A turn starts clean: one left unfinished (a stream closed at
// its tool-call record) must not run its calls in this one, a stop request left after the last record must
// not end it at once, and the fallback of an earlier failure must not stand for this turn's.
void start_turn(nb::handle function, nb::handle self, nb::handle prompt) {
    self.attr("_reset")();
    self.attr("_close") = false;
    self.attr("_fallback_for") = nb::none();
    self.attr("_turn_usage") = nb::none();  // the turn's cost is counted afresh; the client's goes on
    nb::object roles = global(function, "MessageRole");
    if (truthy(self.attr("system_prompt")) && length(self.attr("messages")) == 0)
        self.attr("add_message")("role"_a = roles.attr("system"), "content"_a = self.attr("system_prompt"));
    if (truthy(self.attr("images")) || length(prompt) > 0)
        self.attr("add_message")("role"_a = roles.attr("user"), "content"_a = prompt);
}

struct TurnState {
    nb::object function, self, prompt;
    nb::object token = {}, result = {}, failure = {};
    auto refs() { return std::tie(function, self, prompt, token, result, failure); }
};

// A whole answer's turn is over when it returns or fails: the guard goes, and so does the failure whose
// fallback the turn recorded (its traceback would hold the failed response, socket and all).
void end_turn(nb::handle self, nb::handle token) {
    if (!token.is_none() && private_attr(self, "_turn").is(token))
        self.attr("_turn") = nb::none();
    self.attr("_fallback_for") = nb::none();
}

// An awaited turn. It holds the client until its answer is complete: a whole answer when it returns, a
// stream when the stream ends (or is dropped). Cancelled, it leaves the tool state at rest and adds nothing.
Coroutine turn(TurnState &s) {
    nb::handle self = s.self;
    if (!private_attr(self, "_turn").is_none())
        raise(PyExc_RuntimeError, "a turn is already running on this client");
    s.token = nb::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    self.attr("_turn") = s.token;
    try {
        start_turn(s.function, self, s.prompt);
        s.result = co_await self.attr("_acore_call")();
    } catch (nb::python_error &e) {
        s.failure = nb::borrow(e.value());
    }
    if (s.failure.is_valid()) {
        if (!PyErr_GivenExceptionMatches(s.failure.ptr(), PyExc_Exception))
            self.attr("_reset")();
        end_turn(self, s.token);
        reraise(s.failure);
    }
    if (!hand_over_turn(s.result, s.token))
        end_turn(self, s.token);
    co_return std::move(s.result);
}

}  // namespace

nb::object core_call(const Frame &f) {
    CallState s{nb::borrow(f.function()), nb::borrow(f[0])};
    return call<SyncIO>(s).run();
}

nb::object acore_call(const Frame &f) { return make_coroutine<CallState>(f, call<AsyncIO>, f.function(), f[0]); }

nb::object invoke(const Frame &f) {
    nb::handle self = f[0];
    start_turn(f.function(), self, f[1]);
    nb::object result;
    try {
        result = self.attr("_core_call")();
    } catch (nb::python_error &) {
        end_turn(self, nb::none());
        throw;
    }
    if (!hand_over_turn(result, nb::none()))
        end_turn(self, nb::none());
    return result;
}

nb::object ainvoke(const Frame &f) { return make_coroutine<TurnState>(f, turn, f.function(), f[0], f[1]); }

}  // namespace corvel::modal

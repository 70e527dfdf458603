// stream.cpp: a streamed answer, read line by line as the service sends it
#include "chunks.h"
#include "lines.h"
#include "transport.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace corvel::modal {
namespace {

// Where the body's pieces come from (see open_body).
enum class Source : unsigned char { connection, framed_chunks, chunks, lines };

// Everything that lives across a record handed to the consumer.
struct StreamState {
    nb::object function, self, response;
    nb::object read = {}, decode = {}, choice = {}, delta = {}, tool_calls = {}, tool_results = {}, follow = {};
    nb::object step = {}, failure = {}, turn = {};
    nb::object usage = {};  // the newest usage report of this request, until it is counted
    LineBuffer buffer = {};
    ChunkDecoder chunks = {};  // the framing of a chunked body read straight from the connection
    Source source = Source::connection;
    bool body_ended = false, finished = false, already_add = false;
    bool usage_follows = false;  // the finishing chunk is followed by a usage chunk, which is read too
    auto refs() {
        return std::tie(function, self, response, read, decode, choice, delta, tool_calls, tool_results, follow,
                        step, failure, turn, usage);
    }
    bool outermost = false;  // the stream the turn's caller reads (see hand_over_turn)
    // Dropped unfinished, the stream no longer holds its client's turn.
    void finalized() noexcept { end_turn(); }
    void end_turn() noexcept;
};

// The turn is over when the stream its caller reads is: the awaited turn's guard is released, and the
// failure whose fallback the turn recorded is forgotten (its traceback would hold the failed response).
void StreamState::end_turn() noexcept {
    if (!outermost || !self.is_valid())
        return;
    outermost = false;
    nb::error_scope saved;
    nb::object held = nb::steal(PyObject_GetAttrString(self.ptr(), "_turn"));
    if (held.is_valid() && turn.is_valid() && held.is(turn) && PyObject_SetAttrString(self.ptr(), "_turn", Py_None) < 0)
        PyErr_WriteUnraisable(self.ptr());
    if (PyObject_SetAttrString(self.ptr(), "_fallback_for", Py_None) < 0)
        PyErr_WriteUnraisable(self.ptr());
    PyErr_Clear();
    turn = nb::object();
}

// What one read of the connection asks for: a piece arrives as soon as any of it is there.
constexpr Py_ssize_t piece_size = 65536;

std::string_view bytes_view(nb::handle bytes) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) < 0)
        raise_from_python();
    return {data, (size_t) size};
}

// A service that ignored "stream" labels its whole answer as JSON.
LineBuffer::Cut cut_of(nb::handle response) {
    nb::object headers = nb::getattr(response, "headers", nb::none());
    nb::object type = headers.is_none() ? nb::object(nb::str("")) : headers.attr("get")("Content-Type", "");
    bool json = PyUnicode_Check(type.ptr()) && truthy(type.attr("lower")().attr("startswith")("application/json"));
    return json ? LineBuffer::Cut::json_or_lines : LineBuffer::Cut::lines;
}

// Whether a body comes without a content coding: no Content-Encoding, or "identity".
bool uncoded(nb::handle raw) {
    nb::object headers = nb::getattr(raw, "headers", nb::none());
    nb::object coding = headers.is_none() ? nb::object(nb::str("")) : headers.attr("get")("Content-Encoding", "");
    if (!PyUnicode_Check(coding.ptr()))
        return false;
    nb::object name = coding.attr("strip")().attr("lower")();
    return PyUnicode_GET_LENGTH(name.ptr()) == 0 || PyUnicode_CompareWithASCIIString(name.ptr(), "identity") == 0;
}

// requests' own iter_lines() re-splits the unfinished line after each piece it reads, which makes a long
// line cost time quadratic in its length; the pieces are cut into lines here instead, each piece as it
// arrives. Each read returns what has arrived, so a fragment is handed on as soon as its line is complete.
// A chunked body not yet touched, without a content coding, is read from the socket's buffered file as
// urllib3 itself reads it, its framing dropped here (see ChunkDecoder); with a coding (gzip), one chunk at a
// time from urllib3's read_chunked, which decodes it. Any other body comes from the connection's read1
// (iter_content would wait for a whole piece of fixed size). Objects that are not requests' responses are
// read through iter_lines().
void open_body(SyncIO, StreamState &s) {
    nb::object raw = nb::getattr(s.response, "raw", nb::none());
    bool unread = !truthy(nb::getattr(s.response, "_content_consumed", nb::bool_(true)));
    if (nb::getattr(raw, "chunked", nb::none()).is(Py_True)) {
        s.source = Source::chunks;
        nb::object read_chunked = nb::getattr(raw, "read_chunked", nb::none());
        if (!unread || read_chunked.is_none()) {
            s.read = nb::iter(s.response.attr("iter_content")(nb::none()));
            return;
        }
        nb::object socket_file = nb::getattr(nb::getattr(raw, "_fp", nb::none()), "fp", nb::none());
        nb::object read1 = nb::getattr(socket_file, "read1", nb::none());
        if (!read1.is_none() && uncoded(raw) && nb::getattr(raw, "chunk_left", nb::int_(0)).is_none()) {
            s.source = Source::framed_chunks;
            s.read = read1;
        } else {
            s.read = nb::iter(read_chunked(nb::none(), "decode_content"_a = true));
        }
        return;
    }
    nb::object read1 = nb::getattr(raw, "read1", nb::none());
    if (!read1.is_none() && unread) {
        s.source = Source::connection;
        s.read = read1;
    } else {
        s.source = Source::lines;
        s.read = nb::iter(s.response.attr("iter_lines")());
    }
}

void open_body(AsyncIO, StreamState &s) { s.read = s.response.attr("aiter_bytes")(); }

// Errors of the connection as requests' own reading raises them, so that the application sees the same
// exceptions whichever way the body was read.
[[noreturn]] void raise_as_requests_does(nb::handle function, nb::python_error &e) {
    static constexpr std::pair<const char *, const char *> translations[] = {
        {"ProtocolError", "ChunkedEncodingError"}, {"DecodeError", "ContentDecodingError"},
        {"ReadTimeoutError", "ConnectionError"}, {"SSLError", "RequestsSSLError"}};
    nb::object models = global(function, "requests").attr("models");
    for (auto [theirs, ours] : translations) {
        nb::object from = nb::getattr(models, theirs, nb::none()), to = nb::getattr(models, ours, nb::none());
        if (from.is_none() || to.is_none() || !e.matches(from))
            continue;
        nb::object exc = to(e.value());
        PyException_SetContext(exc.ptr(), e.value().inc_ref().ptr());
        reraise(exc);
    }
    throw;
}

// Where the body is read from the socket directly, its faults are raised as urllib3 raises them when it
// reads (`error`, one of its exceptions as requests.models names them, made from `arguments`), then
// translated as requests translates them: a broken chunked body, or a time-out as a ConnectionError.
template <class... Arguments>
[[noreturn]] void raise_as_urllib3_does(nb::handle function, const char *error, nb::handle cause, Arguments &&...arguments) {
    nb::object exc = global(function, "requests").attr("models").attr(error)(std::forward<Arguments>(arguments)...);
    if (cause.is_valid())
        PyException_SetContext(exc.ptr(), cause.inc_ref().ptr());
    try {
        reraise(exc);
    } catch (nb::python_error &e) {
        raise_as_requests_does(function, e);
    }
}

[[noreturn]] void raise_socket_error(const StreamState &s, nb::python_error &e) {
    if (!e.matches(PyExc_OSError))
        throw;
    if (e.matches(PyExc_TimeoutError)) {
        nb::object pool = nb::getattr(nb::getattr(s.response, "raw", nb::none()), "_pool", nb::none());
        raise_as_urllib3_does(s.function, "ReadTimeoutError", e.value(), pool, nb::none(), "Read timed out.");
    }
    if (e.matches(nb::module_::import_("ssl").attr("SSLError")))
        raise_as_urllib3_does(s.function, "SSLError", e.value(), e.value());
    raise_as_urllib3_does(s.function, "ProtocolError", e.value(),
                          nb::str("Connection broken: {!r}").format(e.value()), e.value());
}

// The next piece of the body, or None at its end (StopAsyncIteration, awaited).
Ready read_piece(SyncIO, StreamState &s) {
    if (s.source == Source::framed_chunks) {
        try {
            nb::object piece = s.read(piece_size);
            return ready(length(piece) > 0 ? piece : nb::none());
        } catch (nb::python_error &e) {
            raise_socket_error(s, e);
        }
    }
    try {
        if (s.source == Source::connection) {
            nb::object piece = s.read(piece_size, "decode_content"_a = true);
            return ready(length(piece) > 0 ? piece : nb::none());
        }
        nb::object piece = corvel::next(s.read);
        if (!piece.is_valid())
            return ready(nb::none());
        return ready(s.source == Source::lines ? piece + nb::bytes("\n", 1) : piece);
    } catch (nb::python_error &e) {
        raise_as_requests_does(s.function, e);
    }
}

nb::object read_piece(AsyncIO, StreamState &s) { return s.read.attr("__anext__")(); }

// What is left after the finishing chunk, read only as far as it comes at once: an awaited connection goes
// back to its pool when its body has been read to the end.
Ready drain_piece(SyncIO, StreamState &) { return ready(nb::none()); }

nb::object drain_piece(AsyncIO, StreamState &s) {
    return global(s.function, "asyncio").attr("wait_for")(read_piece(AsyncIO{}, s), 1.0);
}

enum class Poll : unsigned char { line, more, end };

// The next line of the body into `line` (valid until the next feed), or what is needed to get one.
Poll poll(StreamState &s, std::string_view &line) {
    if (s.buffer.take(line))
        return Poll::line;
    if (!s.body_ended)
        return Poll::more;
    return s.buffer.finish(line) ? Poll::line : Poll::end;
}

// The data of a chunked body's raw bytes into the line buffer; at the end of the body, whether it was
// complete: a connection closed before the last chunk is a broken body, never a short answer.
void feed_framed(StreamState &s, std::string_view bytes, bool end) {
    if (end) {
        if (!s.chunks.complete())
            raise_as_urllib3_does(s.function, "ProtocolError", nb::handle(), "Response ended prematurely");
        s.body_ended = true;
        return;
    }
    auto status = s.chunks.feed(bytes, [&s](std::string_view data) { s.buffer.feed(data); });
    if (status == ChunkDecoder::Status::invalid) {
        std::string_view line = s.chunks.refused();
        nb::object shown = nb::repr(nb::bytes(line.data(), line.size()));
        raise_as_urllib3_does(s.function, "ProtocolError", nb::handle(),
                              nb::str("Connection broken: invalid chunked body at {}").format(shown));
    }
    s.body_ended = status == ChunkDecoder::Status::done;
}

void feed(StreamState &s, nb::handle piece) {
    bool end = !piece.is_valid() || piece.is_none();
    if (s.source == Source::framed_chunks)
        feed_framed(s, end ? std::string_view() : bytes_view(piece), end);
    else if (end)
        s.body_ended = true;
    else
        s.buffer.feed(bytes_view(piece));
}

// Lines that carry no chunk: blank separators, comments (": keep-alive"), and fields other than "data"
// (event, id, retry, or any other name), which the event-stream format tells a reader to pass over.
bool carries_no_chunk(std::string_view line) {
    if (line.empty() || line.front() == ':')
        return true;
    size_t name = 0;
    while (name < line.size() && (std::isalnum((unsigned char) line[name]) || line[name] == '_' || line[name] == '-'))
        ++name;
    return name > 0 && name < line.size() && line[name] == ':' && line.substr(0, name) != "data";
}

// "data: {...}" to the chunk's text: the characters of "data: " are stripped from the left as a set, so
// "data:{...}" and a bare JSON line work too. They are ASCII, so the rest is decoded alone: one text made.
nb::object payload(std::string_view line) {
    line.remove_prefix(std::min(line.find_first_not_of("dat: "), line.size()));
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(line.data(), (Py_ssize_t) line.size(), "strict"));
    if (!text.is_valid())
        raise_from_python();
    return text;
}

// The end sentinel, with any white space around it.
bool is_done(nb::handle text) {
    if (PyUnicode_CompareWithASCIIString(text.ptr(), "[DONE]") == 0)
        return true;
    return PyUnicode_GET_LENGTH(text.ptr()) < 64 &&
           PyUnicode_CompareWithASCIIString(nb::object(text.attr("strip")()).ptr(), "[DONE]") == 0;
}

// One chunk's choice: the first one, or None for a chunk without choices (usage, prompt filters).
nb::object first_choice(nb::handle chunk) {
    nb::object choices = chunk["choices"];
    if (PyList_Check(choices.ptr()) && PyList_GET_SIZE(choices.ptr()) == 0)
        return nb::none();
    return subscript(choices, nb::int_(0));
}

// Any chunk may carry usage: a chunk of its own, the finishing one, or every one (running totals). The
// newest replaces the older, so the request is counted once, for what it cost in the end.
void keep_usage(StreamState &s, nb::handle chunk) {
    nb::object usage = reported_usage(chunk);
    if (PyDict_Check(usage.ptr()))
        s.usage = std::move(usage);
}

// The line's chunk into s.choice (None for a chunk without choices); false at the "[DONE]" sentinel.
bool read_choice(StreamState &s, std::string_view line) {
    nb::object text = payload(line);
    if (is_done(text))
        return false;
    nb::object chunk = s.decode(text);
    keep_usage(s, chunk);
    s.choice = first_choice(chunk);
    return true;
}

// Whether the request asked for the usage chunk, which services send after the finishing chunk.
bool usage_asked(nb::handle self) {
    nb::object options = get(self.attr("extra_body"), "stream_options");
    return PyDict_Check(options.ptr()) && truthy(get(options, "include_usage"));
}

// A line after the finishing chunk, read for its usage alone; false at the "[DONE]" sentinel. The answer is
// complete by then, so a line that does not parse is passed over rather than failing it.
bool read_usage(StreamState &s, std::string_view line) {
    try {
        nb::object text = payload(line);
        if (is_done(text))
            return false;
        keep_usage(s, s.decode(text));
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
    }
    return true;
}

// The request's cost joins the client's sums once, when its stream is done with, however that came about.
void settle_usage(StreamState &s) {
    nb::object usage = std::move(s.usage);
    if (usage.is_valid())
        count_usage(s.function, s.self, usage);
}

// A choice's delta into s.delta, processed. A service that ignored "stream" sends the whole message instead:
// it is the whole answer, its tool calls complete as in a whole answer. A choice with neither (a
// content-filter mode sends them) is an empty delta.
void read_delta(StreamState &s) {
    nb::handle self = s.self;
    nb::object delta = get(s.choice, "delta");
    nb::object message = delta.is_none() ? get(s.choice, "message") : nb::none();
    if (message.is_none()) {
        s.delta = self.attr("_message_process")(delta.is_none() ? nb::dict() : delta);
        return;
    }
    nb::dict without_calls = unpack(message);
    nb::object calls = get(without_calls, "tool_calls");
    if (PyDict_DelItemString(without_calls.ptr(), "tool_calls") < 0)
        PyErr_Clear();
    s.delta = self.attr("_message_process")(without_calls);
    if (!calls.is_none())
        self.attr("tool_calls").attr("extend")(calls);
    s.finished = true;
}

// A record of one of the delta's two texts; the other is left empty, so that an answer fragment that
// arrives with reasoning is recorded and yielded as an answer, not lost inside a reasoning record.
nb::object record(StreamState &s, const char *status, const char *emptied) {
    nb::dict fields = unpack(s.delta);
    fields[emptied] = "";
    fields["status"] = global(s.function, "LLMStatus").attr(status);
    nb::object result = nb::steal(PyObject_Call(global(s.function, "LLMResult").ptr(), nb::tuple().ptr(), fields.ptr()));
    if (!result.is_valid())
        raise_from_python();  // a field the model refuses (a reasoning text that is a list)
    return result;
}

// A stop request seen at a line: the stream ends there, as if finished, and runs no tool phase.
bool stop_requested(StreamState &s) {
    if (!truthy(private_attr(s.self, "_close")))
        return false;
    s.self.attr("_close") = false;
    s.self.attr("_reset")();
    s.finished = true;
    return true;
}

template <class IO>
typename IO::Stream parse(StreamState &s) {
    nb::handle self = s.self;
    try {
        s.decode = global(s.function, "json").attr("JSONDecoder")("parse_constant"_a = json_constant_refusal()).attr("decode");
        s.buffer = LineBuffer(cut_of(s.response));
        s.usage_follows = usage_asked(self);
        open_body(IO{}, s);
        while (!s.finished || s.usage_follows) {
            std::string_view line;
            Poll next = poll(s, line);
            if (next == Poll::end)
                break;
            if (next == Poll::more) {
                nb::object piece;
                try {
                    piece = co_await read_piece(IO{}, s);
                } catch (nb::python_error &e) {
                    if (!is_end(e))
                        throw;
                }
                feed(s, piece);
                continue;
            }
            if (s.finished) {
                s.usage_follows = carries_no_chunk(line) || read_usage(s, line);
                continue;
            }
            if (stop_requested(s))
                break;
            if (carries_no_chunk(line))
                continue;
            if (!read_choice(s, line)) {
                s.finished = true;
                break;
            }
            if (s.choice.is_none())
                continue;
            read_delta(s);
            if (truthy(s.delta["reasoning_content"])) {
                nb::object reason = record(s, "reason", "content");
                co_yield std::move(reason);
            }
            if (truthy(s.delta["content"])) {
                self.attr("add_message")("role"_a = global(s.function, "MessageRole").attr("assistant"),
                                         "content"_a = s.delta["content"]);
                s.already_add = true;
                nb::object answer = record(s, "answer", "reasoning_content");
                co_yield std::move(answer);
            }
            if (!get(s.choice, "finish_reason").is_none())
                s.finished = true;
        }
        for (Py_ssize_t drained = 0; drained < IO::drained_bytes && !s.body_ended;) {
            nb::object piece;
            try {
                piece = co_await drain_piece(IO{}, s);
            } catch (nb::python_error &e) {
                if (!is_exception(e) && !is_end(e))
                    throw;
                s.body_ended = true;
            }
            feed(s, piece);
            drained += piece.is_valid() && !piece.is_none() ? length(piece) : 0;
        }
        // Done with this response: a tool pass opens another, and each would otherwise hold its socket
        // until the whole turn ends.
        settle_usage(s);
        co_await IO::close(s.response);
        if (!s.finished)
            raise(PyExc_ValueError, "the stream ended before the answer was finished");
        if (truthy(self.attr("tool_calls"))) {
            s.tool_calls = self.attr("_t_calls_beautify")(self.attr("tool_calls"));
            if (compare(self.attr("_tool_calls_count"), self.attr("tool_calls_limit"), Py_LT)) {
                nb::object calls = global(s.function, "LLMResult")(
                    "tool_calls"_a = s.tool_calls, "status"_a = global(s.function, "LLMStatus").attr("tool_calls"));
                co_yield std::move(calls);
            }
            nb::object results = co_await IO::tool_pass(self);
            s.tool_results = self.attr("_t_results_beautify")(s.tool_calls, results);
            nb::object summary = global(s.function, "LLMResult")(
                "tool_results"_a = s.tool_results, "status"_a = global(s.function, "LLMStatus").attr("tool_results"));
            co_yield std::move(summary);
            nb::object follow_up = co_await IO::follow_up(self);
            if constexpr (IO::awaits) {
                // `yield from` for async generators: records pass out, and an exception thrown in goes to the
                // follow-up first, as it would through a blocking stream's delegation.
                s.follow = std::move(follow_up);
                s.step = s.follow.attr("__anext__")();
                for (;;) {
                    nb::object next;
                    try {
                        next = co_await std::move(s.step);
                    } catch (nb::python_error &e) {
                        if (!is_end(e))
                            throw;
                    }
                    if (!next.is_valid())
                        break;
                    try {
                        co_yield std::move(next);
                        s.step = s.follow.attr("__anext__")();
                    } catch (nb::python_error &e) {
                        if (e.matches(PyExc_GeneratorExit))
                            throw;
                        s.step = s.follow.attr("athrow")(e.value());
                    }
                }
            } else {
                co_await yield_from(std::move(follow_up));
            }
        }
        self.attr("_reset")();
    } catch (nb::python_error &e) {
        s.failure = nb::borrow(e.value());
    }
    if (s.failure.is_valid()) {
        // Whatever ended the stream (a failure, the consumer closing it, a cancelled task), its response is
        // released; only an ordinary failure prints, records the fallback and resets.
        // Each release on its own: a follow-up that fails to close must not keep this response open.
        if constexpr (IO::awaits) {
            try {
                if (s.follow.is_valid())
                    co_await s.follow.attr("aclose")();
            } catch (nb::python_error &e) {
                if (!is_exception(e))
                    throw;
            }
        }
        try {
            co_await IO::close(s.response);
            settle_usage(s);  // what the request cost until it broke off
        } catch (nb::python_error &e) {
            if (!is_exception(e))
                throw;
        }
        if (PyErr_GivenExceptionMatches(s.failure.ptr(), PyExc_Exception))
            fail(s.function, self, "Error parsing LLM response: ", s.failure, s.already_add);
        else if (IO::awaits && PyErr_GivenExceptionMatches(s.failure.ptr(), PyExc_BaseException) &&
                 !PyErr_GivenExceptionMatches(s.failure.ptr(), PyExc_GeneratorExit))
            self.attr("_reset")();  // a cancelled turn leaves the tool state at rest
        s.end_turn();
        nb::object failure = std::move(s.failure);
        reraise(failure);
    }
    s.end_turn();
    co_return nb::none();
}

}  // namespace

Ready SyncIO::close(nb::handle response) {
    nb::object close = nb::getattr(response, "close", nb::none());
    return ready(close.is_none() ? nb::none() : close());
}

nb::object stream_response(const Frame &f) {
    return make_generator<StreamState>(f, parse<SyncIO>, f.function(), f[0], f[1]);
}

nb::object astream_response(const Frame &f) {
    return make_async_generator<StreamState>(f, parse<AsyncIO>, f.function(), f[0], f[1]);
}

// The stream a turn returns to its caller ends the turn when it ends (or is dropped unfinished); an awaited
// turn's stream holds the client's turn `token` until then.
bool hand_over_turn(nb::handle stream, nb::handle token) {
    StreamState *s = closure_as<StreamState>(stream);
    if (!s)
        return false;
    s->outermost = true;
    s->turn = nb::borrow(token);
    return true;
}

}  // namespace corvel::modal

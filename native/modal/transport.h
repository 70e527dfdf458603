// transport.h: how a request goes out and its answer comes back, blocking or awaited
//
// A turn's steps (the call driver, the two parsers, the tool pass) are written once, as C++ coroutines
// templated on a transport. Every step that waits on the network or on the tools is `co_await IO::...`:
// the blocking transport (requests, the registry's __call__) hands back ready results, so its bodies run
// straight through as plain calls and generators; the awaiting one (httpx, the registry's acall) hands back
// Python awaitables, so the same bodies run as native coroutines and async generators on an event loop.
#pragma once

#include "modal.h"

namespace corvel::modal {

struct SyncIO {
    using Call = Eager;
    using Stream = Generator;
    static constexpr bool awaits = false;
    // What a stream reads past its finishing chunk: nothing, the response is closed (no pool to return to).
    static constexpr Py_ssize_t drained_bytes = 0;

    static Ready post(nb::handle function, nb::handle self);
    // The pieces of an error body: requests holds a whole answer in memory, a streamed one is read.
    static nb::object error_pieces(nb::handle self, nb::handle response);
    // The next piece of an iterator, or None at its end.
    static Ready next(nb::handle pieces);
    static Ready read_body(nb::handle) { return ready(nb::none()); }  // requests read it with the headers
    // The whole answer's JSON. NaN and the infinities are refused: stored as received, they would make every
    // later request of the conversation unsendable.
    static nb::object json(nb::handle function, nb::handle response);
    static Ready close(nb::handle response);
    static Ready sleep(nb::handle function, nb::handle seconds) {
        return ready(global(function, "_retry").attr("time").attr("sleep")(seconds));
    }

    static Ready whole(nb::handle self, nb::handle response) { return ready(self.attr("_response")(response)); }
    static nb::object stream(nb::handle self, nb::handle response) { return self.attr("_stream_response")(response); }
    static Ready tool_pass(nb::handle self) { return ready(self.attr("_tool_calls")()); }
    static Ready run_tools(nb::handle, nb::handle self, nb::handle calls) { return ready(self.attr("tools")(calls)); }
    static Ready follow_up(nb::handle self) { return ready(self.attr("_core_call")()); }
};

struct AsyncIO {
    using Call = Coroutine;
    using Stream = AsyncGenerator;
    static constexpr bool awaits = true;
    // Reading the little that follows a finishing chunk ("[DONE]") lets the connection go back to the pool.
    static constexpr Py_ssize_t drained_bytes = 64 << 10;

    static nb::object post(nb::handle function, nb::handle self);
    static nb::object error_pieces(nb::handle self, nb::handle response);
    // Raises StopAsyncIteration at the end, which the bodies take for None.
    static nb::object next(nb::handle pieces) { return pieces.attr("__anext__")(); }
    static nb::object read_body(nb::handle response) { return response.attr("aread")(); }
    // Decoded as requests decodes a body it is told is text: invalid UTF-8 becomes replacement characters.
    static nb::object json(nb::handle function, nb::handle response);
    static nb::object close(nb::handle response) { return response.attr("aclose")(); }
    static nb::object sleep(nb::handle function, nb::handle seconds) {
        return global(function, "asyncio").attr("sleep")(seconds);
    }

    static nb::object whole(nb::handle self, nb::handle response) { return self.attr("_aresponse")(response); }
    static nb::object stream(nb::handle self, nb::handle response) { return self.attr("_astream_response")(response); }
    static nb::object tool_pass(nb::handle self) { return self.attr("_atool_calls")(); }
    // The registry's acall where it has one; a registry without it is called as the blocking turn does.
    static nb::object run_tools(nb::handle function, nb::handle self, nb::handle calls);
    static nb::object follow_up(nb::handle self) { return self.attr("_acore_call")(); }
};

// The end of an iteration in either transport: a null piece, None, or StopAsyncIteration.
inline bool is_end(const nb::python_error &e) noexcept { return e.matches(PyExc_StopAsyncIteration); }

}  // namespace corvel::modal

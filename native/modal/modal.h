// modal.h: the method bodies of corvel.modal, one file per concern
#pragma once

#include <corvel/runtime.h>

namespace corvel::modal {

// results.cpp
nb::object result_add(const Frame &f);

// usage.cpp
nb::object usage_add(const Frame &f);
// The client's sums: over all its requests, and over those of its latest turn.
nb::object usage(const Frame &f);
nb::object turn_usage(const Frame &f);
// The "usage" object of a decoded answer or chunk; None when it has none (or is no mapping).
nb::object reported_usage(nb::handle body);
// Adds one request's reported usage to the client's sums; a malformed report is ignored.
void count_usage(nb::handle function, nb::handle self, nb::handle reported);

// client.cpp
nb::object reset(const Frame &f);
nb::object stream(const Frame &f);
// The awaited transport's pool: aclose(), and `async with` closing it on exit.
nb::object aclose(const Frame &f);
nb::object aenter(const Frame &f);
nb::object aexit(const Frame &f);
// A pydantic private attribute of the client, read where pydantic keeps it.
nb::object private_attr(nb::handle self, nb::detail::str_key name);

// request.cpp
nb::object extra_body(const Frame &f);
nb::object headers(const Frame &f);
nb::object body(const Frame &f);
nb::object messages_latest(const Frame &f);
nb::object message_latest(const Frame &f);

// history.cpp
nb::object add_message(const Frame &f);

// failure.cpp: print the failure line; record the fallback answer once per failure
// The text with the configured API key replaced by "[redacted]".
nb::str redact(nb::handle function, nb::handle self, nb::handle text);
void report(nb::handle function, nb::handle self, const char *prefix, nb::handle exc);
void record_fallback(nb::handle function, nb::handle self, nb::handle exc);
// The failure path of one level of a turn: the line, the fallback unless this level `answered`, the reset.
void fail(nb::handle function, nb::handle self, const char *prefix, nb::handle exc, bool answered);

// tool_calls.cpp
nb::object add_tool_calls(const Frame &f);
nb::object tool_calls(const Frame &f);
nb::object t_calls_beautify(const Frame &f);
nb::object t_results_beautify(const Frame &f);

// The awaited twins of the methods below (transport.h): coroutines, and an async generator for streams.
nb::object acore_call(const Frame &f);
nb::object aresponse(const Frame &f);
nb::object atool_calls(const Frame &f);
nb::object ainvoke(const Frame &f);
nb::object astream_response(const Frame &f);
// stream.cpp: gives a stream made by the awaited transport the turn `token`; false for any other object.
bool hand_over_turn(nb::handle stream, nb::handle token);

// response.cpp
// A parse_constant for the JSON decoder that refuses NaN and the infinities with a ValueError.
nb::object json_constant_refusal();
nb::object message_process(const Frame &f);
nb::object response(const Frame &f);

// stream.cpp
nb::object stream_response(const Frame &f);

// call.cpp
nb::object core_call(const Frame &f);
nb::object invoke(const Frame &f);

}  // namespace corvel::modal

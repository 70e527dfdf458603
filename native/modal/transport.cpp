// transport.cpp: requests for the blocking turn, a pooled httpx client for the awaited one
#include "transport.h"

namespace corvel::modal {

Ready SyncIO::post(nb::handle function, nb::handle self) {
    return ready(global(function, "requests").attr("post")(
        self.attr("endpoint_url"), "headers"_a = self.attr("_headers"), "json"_a = self.attr("_body"),
        "stream"_a = self.attr("stream"),
        // Without a limit a stalled service would hang the caller forever.
        "timeout"_a = self.attr("_timeout")));
}

nb::object SyncIO::error_pieces(nb::handle self, nb::handle response) {
    if (truthy(self.attr("stream")))
        return nb::iter(response.attr("iter_content")(65536));
    return nb::iter(nb::make_tuple(response.attr("content")));
}

nb::object SyncIO::json(nb::handle, nb::handle response) {
    return response.attr("json")("parse_constant"_a = json_constant_refusal());
}

Ready SyncIO::next(nb::handle pieces) {
    nb::object piece = corvel::next(pieces);
    return ready(piece.is_valid() ? piece : nb::none());
}

namespace {

// The client's time limits as httpx takes them: (connect, read) as for requests, or one number, or None.
nb::object timeout_of(nb::handle function, nb::handle limits) {
    nb::object timeout = global(function, "httpx").attr("Timeout");
    if (PyTuple_Check(limits.ptr()) && PyTuple_GET_SIZE(limits.ptr()) == 2)
        return timeout(item(limits, 1), "connect"_a = item(limits, 0));
    return timeout(limits);
}

// Loading the certificate authorities takes some 50 ms: every pool shares one TLS context, made the first
// time a pool is.
nb::object tls_context(nb::handle function) {
    nb::object shared = global(function, "_tls_context");
    if (!shared.is_none())
        return shared;
    shared = global(function, "httpx").attr("create_ssl_context")();
    function.attr("__globals__")["_tls_context"] = shared;
    return shared;
}

// One pool of keep-alive connections per client and event loop, made on first use. A pool belongs to the
// loop it was made on: a client used from a second loop (another asyncio.run) gets a fresh one.
nb::object pool_of(nb::handle function, nb::handle self) {
    nb::object loop = global(function, "asyncio").attr("get_running_loop")();
    nb::object kept = private_attr(self, "_pool");
    if (PyTuple_Check(kept.ptr()) && PyTuple_GET_SIZE(kept.ptr()) == 2) {
        // Calling the weak reference gives the loop, or None once it is gone.
        if (nb::handle(PyTuple_GET_ITEM(kept.ptr(), 0))().is(loop))
            return item(kept, 1);
    }
    nb::object pool = global(function, "_connections").attr("adopt")(
        global(function, "httpx").attr("AsyncClient")("verify"_a = tls_context(function)));
    nb::object loop_ref = nb::steal(PyWeakref_NewRef(loop.ptr(), nullptr));
    if (!loop_ref.is_valid())
        raise_from_python();
    self.attr("_pool") = nb::make_tuple(loop_ref, pool);
    return pool;
}

}  // namespace

nb::object AsyncIO::post(nb::handle function, nb::handle self) {
    nb::object pool = pool_of(function, self);
    nb::object request = pool.attr("build_request")(
        "POST", self.attr("endpoint_url"), "headers"_a = self.attr("_headers"), "json"_a = self.attr("_body"),
        "timeout"_a = timeout_of(function, private_attr(self, "_timeout")));
    return pool.attr("send")(request, "stream"_a = true);
}

nb::object AsyncIO::json(nb::handle function, nb::handle response) {
    return global(function, "json").attr("loads")(response.attr("text"), "parse_constant"_a = json_constant_refusal());
}

nb::object AsyncIO::error_pieces(nb::handle, nb::handle response) { return response.attr("aiter_bytes")(); }

nb::object AsyncIO::run_tools(nb::handle function, nb::handle self, nb::handle calls) {
    nb::object tools = self.attr("tools");
    nb::object acall = nb::getattr(tools, "acall", nb::none());
    if (!acall.is_none())
        return acall(calls);
    nb::object results = tools(calls);  // called as the blocking turn calls it, its results handed on at once
    return global(function, "asyncio").attr("sleep")(0, results);
}

}  // namespace corvel::modal

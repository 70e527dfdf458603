// client.cpp: the client's turn state and streaming mode
#include "modal.h"

namespace corvel::modal {

// A new list rather than clear(): a caller holding the old tool_calls keeps what it held.
nb::object reset(const Frame &f) {
    nb::handle self = f[0];
    self.attr("tool_calls") = nb::list();
    self.attr("_tool_calls_count") = 0;
    return nb::none();
}

// The "stream" option exactly as stored, so the request and the response handling always agree.
nb::object stream(const Frame &f) {
    return f[0].attr("extra_body").attr("get")("stream", false);
}

namespace {

struct PoolState {
    nb::object function, self;
    auto refs() { return std::tie(function, self); }
};

// Releases the awaited transport's connections. A pool made on another event loop cannot be closed from
// this one (its connections belong to that loop): it is dropped.
Coroutine close_pool(PoolState &s) {
    nb::object kept = private_attr(s.self, "_pool");
    s.self.attr("_pool") = nb::none();
    if (PyTuple_Check(kept.ptr()) && PyTuple_GET_SIZE(kept.ptr()) == 2) {
        nb::object loop = global(s.function, "asyncio").attr("get_running_loop")();
        if (nb::handle(PyTuple_GET_ITEM(kept.ptr(), 0))().is(loop))  // the weak reference, called
            co_await item(kept, 1).attr("aclose")();
    }
    co_return nb::none();
}

Coroutine enter(PoolState &s) { co_return s.self; }

Coroutine exit(PoolState &s) {
    co_await s.self.attr("aclose")();
    co_return nb::none();
}

}  // namespace

nb::object aclose(const Frame &f) { return make_coroutine<PoolState>(f, close_pool, f.function(), f[0]); }
nb::object aenter(const Frame &f) { return make_coroutine<PoolState>(f, enter, f.function(), f[0]); }
nb::object aexit(const Frame &f) { return make_coroutine<PoolState>(f, exit, f.function(), f[0]); }

// pydantic keeps private attributes in a dict of their own and reaches them through a Python-level
// __getattr__ that fails twice before it looks there; the dict is read directly where it is the usual one.
nb::object private_attr(nb::handle self, nb::detail::str_key name) {
    nb::detail::cached_name key(name);
    if (!key.value)
        raise_from_python();
    nb::object privates = nb::getattr(self, "__pydantic_private__", nb::none());
    if (PyDict_CheckExact(privates.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(privates.ptr(), key.value))
            return nb::borrow(value);
        if (PyErr_Occurred())
            raise_from_python();
    }
    nb::object value = nb::steal(PyObject_GetAttr(self.ptr(), key.value));
    if (!value.is_valid())
        raise_from_python();
    return value;
}

}  // namespace corvel::modal

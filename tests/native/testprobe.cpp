// testprobe.cpp: corvel._testprobe, the runtime's generators, coroutines, async generators and function
// features made callable from the tests. Each body is given beside the Python function it mirrors.
#include <corvel/runtime.h>

#include <stdexcept>
#include <string>

namespace corvel {
namespace {

// def echo(items, result=None):
//     for item in items:
//         sent = yield item
//         if sent is not None:
//             yield sent
//     return result
struct Echo {
    nb::object items, result;
    nb::object iterator = {};
    auto refs() { return std::tie(items, result, iterator); }
};

Generator echo(Echo &c) {
    c.iterator = nb::iter(c.items);
    while (nb::object item = next(c.iterator)) {
        nb::object sent = co_yield std::move(item);
        if (!sent.is_none())
            co_yield std::move(sent);
    }
    co_return c.result;
}

// def delegate(iterable, catching=(), reply=None):
//     try:
//         return (yield from iterable)
//     except catching as e:
//         caught = type(e).__name__
//     if reply is None:
//         return caught
//     return (yield (reply, caught))
struct Delegate {
    nb::object iterable, catching, reply;
    nb::object caught = {};
    auto refs() { return std::tie(iterable, catching, reply, caught); }
};

Generator delegate(Delegate &c) {
    try {
        co_return co_await yield_from(std::move(c.iterable));
    } catch (nb::python_error &e) {
        if (!e.matches(c.catching))
            throw;
        c.caught = e.type().attr("__name__");
    }
    if (c.reply.is_none())
        co_return c.caught;
    nb::object sent = co_yield nb::make_tuple(c.reply, c.caught);
    co_return sent;
}

// def failing(error):            (and the same as an async generator, afailing)
//     yield None
//     raise error            # a str is raised as a C++ exception instead
struct Failing {
    nb::object error;
    auto refs() { return std::tie(error); }
};

template <class Body>
Body failing(Failing &c) {
    co_yield nb::none();
    if (PyUnicode_Check(c.error.ptr()))
        throw std::runtime_error(nb::borrow<nb::str>(c.error).c_str());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(c.error.ptr())), c.error.ptr());
    raise_from_python();
}

// def lookup(name):
//     yield globals()[name]      # read when the body runs, not when lookup() was called
//     return None
struct Lookup {
    nb::object function, name;
    auto refs() { return std::tie(function, name); }
};

Generator lookup(Lookup &c) {
    std::string name = nb::borrow<nb::str>(c.name).c_str();
    co_yield global(c.function, name.c_str());
    co_return nb::none();
}

// async def awaiting(first, second=None):
//     result = await first
//     if second is not None:
//         result = (result, await second)
//     return result
struct Awaiting {
    nb::object first, second;
    nb::object result = {};
    auto refs() { return std::tie(first, second, result); }
};

Coroutine awaiting(Awaiting &c) {
    c.result = co_await std::move(c.first);
    if (!c.second.is_none()) {
        nb::object second = co_await std::move(c.second);
        c.result = nb::make_tuple(c.result, second);
    }
    co_return c.result;
}

// The two transports one body is written against: the awaiting one hands over Python awaitables, the
// blocking one results that are already there.
struct AwaitingTransport {
    using Body = AsyncGenerator;
    static nb::object receive(nb::object item) { return item; }
};

struct BlockingTransport {
    using Body = Generator;
    static Ready receive(nb::object item) { return ready(std::move(item)); }
};

// async def relay(items, catching=(), cleanup=None, reply=None):
//     caught = None
//     try:
//         for item in items:
//             sent = yield (await item)
//             if sent is not None:
//                 yield sent
//     except catching as e:
//         caught = type(e).__name__
//     if cleanup is not None:
//         await cleanup
//     if reply is not None:
//         yield (reply, caught)
//
// relay_blocking is the same body against the blocking transport: a generator whose awaits are immediate.
struct Relay {
    nb::object items, catching, cleanup, reply;
    nb::object iterator = {}, caught = nb::none();
    auto refs() { return std::tie(items, catching, cleanup, reply, iterator, caught); }
};

template <class Transport>
typename Transport::Body relay(Relay &c) {
    try {
        c.iterator = nb::iter(c.items);
        while (nb::object item = next(c.iterator)) {
            nb::object value = co_await Transport::receive(std::move(item));
            nb::object sent = co_yield std::move(value);
            if (!sent.is_none())
                co_yield std::move(sent);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(c.catching))
            throw;
        c.caught = e.type().attr("__name__");
    }
    if (!c.cleanup.is_none())
        co_await Transport::receive(std::move(c.cleanup));
    if (!c.reply.is_none())
        co_yield nb::make_tuple(c.reply, c.caught);
    co_return nb::none();
}

// A body of each kind whose closure hears when it is dropped unfinished.
struct Guarded {
    nb::object on_finalized, awaitable;
    void finalized() noexcept {
        try {
            on_finalized();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("the finalized() of a probe closure");
        }
    }
    auto refs() { return std::tie(on_finalized, awaitable); }
};

Generator guarded_generator(Guarded &) {
    co_yield nb::none();
    co_return nb::none();
}

Coroutine guarded_coroutine(Guarded &c) { co_return co_await std::move(c.awaitable); }

AsyncGenerator guarded_async_generator(Guarded &) {
    co_yield nb::none();
    co_return nb::none();
}

nb::object make_guarded(const Frame &f) {
    std::string kind = nb::borrow<nb::str>(f[0]).c_str();
    if (kind == "generator")
        return make_generator<Guarded>(f, guarded_generator, f[1], f[2]);
    if (kind == "coroutine")
        return make_coroutine<Guarded>(f, guarded_coroutine, f[1], f[2]);
    return make_async_generator<Guarded>(f, guarded_async_generator, f[1], f[2]);
}

nb::object make_echo(const Frame &f) { return make_generator<Echo>(f, echo, f[0], f[1]); }
nb::object make_delegate(const Frame &f) { return make_generator<Delegate>(f, delegate, f[0], f[1], f[2]); }
nb::object make_failing(const Frame &f) { return make_generator<Failing>(f, failing<Generator>, f[0]); }
nb::object make_afailing(const Frame &f) { return make_async_generator<Failing>(f, failing<AsyncGenerator>, f[0]); }
nb::object make_relay(const Frame &f) {
    return make_async_generator<Relay>(f, relay<AwaitingTransport>, f[0], f[1], f[2], f[3]);
}
nb::object make_relay_blocking(const Frame &f) {
    return make_generator<Relay>(f, relay<BlockingTransport>, f[0], f[1], f[2], f[3]);
}
nb::object make_lookup(const Frame &f) { return make_generator<Lookup>(f, lookup, f.function(), f[0]); }
nb::object make_awaiting(const Frame &f) { return make_coroutine<Awaiting>(f, awaiting, f[0], f[1]); }
nb::object probe_items(const Frame &f) { return make_generator<Echo>(f, echo, f[1], nb::none()); }
nb::object probe_wait(const Frame &f) { return make_coroutine<Awaiting>(f, awaiting, f[1], nb::none()); }

nb::object arguments(const Frame &f) { return nb::make_tuple(f[0], f[1], f[2]); }
nb::object spread(const Frame &f) { return nb::make_tuple(f[0], f[1], f[2], f[3], f[4]); }
nb::object identity(const Frame &f) { return nb::borrow(f[0]); }
// def call(function, argument):
//     return function(argument)
nb::object call(const Frame &f) { return f[0](f[1]); }

}  // namespace
}  // namespace corvel

CORVEL_MODULE(_testprobe, g) {
    using namespace corvel;
    auto define = [&](FunctionDef def) { g[def.name] = make_function(g, std::move(def)); };
    define({.name = "echo", .params = {{"items"}, {"result"}}, .body = make_echo, .kind = Kind::generator,
            .defaults = nb::make_tuple(nb::none())});
    define({.name = "delegate", .params = {{"iterable"}, {"catching"}, {"reply"}}, .body = make_delegate,
            .kind = Kind::generator, .defaults = nb::make_tuple(nb::tuple(), nb::none())});
    define({.name = "failing", .params = {{"error"}}, .body = make_failing, .kind = Kind::generator});
    define({.name = "afailing", .params = {{"error"}}, .body = make_afailing, .kind = Kind::async_generator});
    auto relay_params = std::vector<Param>{{"items"}, {"catching"}, {"cleanup"}, {"reply"}};
    define({.name = "relay", .params = relay_params, .body = make_relay, .kind = Kind::async_generator,
            .defaults = nb::make_tuple(nb::tuple(), nb::none(), nb::none())});
    define({.name = "relay_blocking", .params = relay_params, .body = make_relay_blocking, .kind = Kind::generator,
            .defaults = nb::make_tuple(nb::tuple(), nb::none(), nb::none())});
    define({.name = "guarded", .params = {{"kind"}, {"on_finalized"}, {"awaitable"}}, .body = make_guarded,
            .defaults = nb::make_tuple(nb::none())});
    define({.name = "lookup", .params = {{"name"}}, .body = make_lookup, .kind = Kind::generator});
    define({.name = "awaiting", .params = {{"first"}, {"second"}}, .body = make_awaiting, .kind = Kind::coroutine,
            .defaults = nb::make_tuple(nb::none())});
    define({.name = "arguments", .params = {{"a"}, {"b"}, {"c"}}, .body = arguments,
            .defaults = nb::make_tuple(2, nb::none())});
    define({.name = "spread", .params = {{"a"}, {"b"}, {"c"}, {"d"}, {"e"}}, .body = spread,
            .defaults = nb::make_tuple(5)});
    define({.name = "exact", .params = {{"x", "dict", &PyDict_Type}}, .body = identity});
    define({.name = "call", .params = {{"function"}, {"argument"}}, .body = call});

    nb::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    ClassBuilder(g, "Probe", type, nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))))
        .method({.name = "items", .params = {{"self"}, {"iterable"}}, .body = probe_items, .kind = Kind::generator})
        .method({.name = "wait", .params = {{"self"}, {"awaitable"}}, .body = probe_wait, .kind = Kind::coroutine})
        .build();
}

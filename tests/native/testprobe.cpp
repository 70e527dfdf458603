// testprobe.cpp: corvel._testprobe, the runtime's generators, coroutines and function features made
// callable from the tests. Each body is given beside the Python function it mirrors.
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

// def failing(error):
//     yield None
//     raise error            # a str is raised as a C++ exception instead
struct Failing {
    nb::object error;
    auto refs() { return std::tie(error); }
};

Generator failing(Failing &c) {
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

nb::object make_echo(const Frame &f) { return make_generator<Echo>(f, echo, f[0], f[1]); }
nb::object make_delegate(const Frame &f) { return make_generator<Delegate>(f, delegate, f[0], f[1], f[2]); }
nb::object make_failing(const Frame &f) { return make_generator<Failing>(f, failing, f[0]); }
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

// corvel/generator.h: native generators, coroutines and async generators whose bodies are C++20 coroutines
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <coroutine>
#include <iterator>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "function.h"
#include "task.h"

// A method that Python sees as a generator (or coroutine) function is a FunctionDef with
// `.kind = Kind::generator` (or `Kind::coroutine`) whose Body only creates the object; the algorithm is a
// C++ coroutine that runs from the first next()/send(None), as a Python generator's frame does.
//
//     struct Lines {                          // the closure: every object that lives across a suspension
//         nb::object function, response;      //   passed in by the method
//         nb::object lines = {}, line = {};   //   made by the body
//         auto refs() { return std::tie(function, response, lines, line); }   // what the GC sees and clears
//     };
//
//     corvel::Generator read_lines(Lines &c) {                   // def read_lines(self, response):
//         c.lines = nb::iter(c.response.attr("iter_lines")());    //     for line in response.iter_lines():
//         while ((c.line = corvel::next(c.lines))) {
//             nb::object record = corvel::global(c.function, "json").attr("loads")(c.line);
//             co_yield std::move(record);                         //         yield json.loads(line)
//         }
//         co_return nb::none();                                   //     return None
//     }
//
//     nb::object stream(const Frame &f) {                         // the FunctionDef's body
//         return corvel::make_generator<Lines>(f, read_lines, f.function(), f[1]);
//     }
//
//     .method({.name = "stream", .params = {{"self"}, {"response"}}, .body = stream, .kind = Kind::generator})
//
// Coroutines read the same way: `corvel::Coroutine body(C &c)`, `nb::object r = co_await std::move(x);`
// awaits anything awaitable (an asyncio future, a coroutine, an object with __await__) and evaluates to its
// result, `co_return value` ends it, and make_coroutine creates it.
//
// Async generators (`Kind::async_generator`, `corvel::AsyncGenerator body(C &c)`, make_async_generator) do
// both: `co_await` as in a coroutine, its awaitable's yields passing out to the event loop through the
// __anext__()/asend()/athrow() awaitable in progress, and `co_yield value` as the result of that awaitable
// (the value of `yield` is what the next asend() sends). `co_return nb::none();` ends it: the consumer sees
// StopAsyncIteration. A body written once against a transport serves both ways: `co_await` what the
// transport gives, a corvel::ready result for the blocking transport (the body is then a Generator), a
// Python awaitable for the asynchronous one (an AsyncGenerator).
//
//     template <class T>                                      // T::Body is Generator or AsyncGenerator
//     typename T::Body read_records(Records<T> &c) {
//         while (!(c.line = co_await c.transport.next_line(c.response)).is_none()) {
//             nb::object record = parse(c.line);
//             co_yield std::move(record);
//         }
//         co_return nb::none();
//     }
//
// Rules for bodies (C++ cannot enforce them; the GC tests and the sanitizers notice when they are broken):
// - An object that lives across a co_yield/co_await belongs to the closure, never to a frame local: the GC
//   cannot see into a C++ frame, so a cycle through a frame local is never collected. Locals that end
//   before the next suspension are ordinary nb::object locals. The operand of co_yield/co_await and the
//   temporaries of its statement live until the statement ends, after the suspension: compute the value
//   in the statement before and write `co_yield std::move(value)` (the runtime takes the reference out).
// - Every body ends with `co_return value;` (`co_return nb::none();` for None): flowing off the end of a
//   coroutine is undefined behaviour in C++, and the object reports it as a SystemError where it can.
// - send/throw/close arrive at the suspension point: `co_yield` evaluates to the sent value or throws the
//   thrown exception as nb::python_error (close() throws GeneratorExit). C++ forbids co_yield/co_await in a
//   catch handler: note what the handler learnt and act after it. Re-throw (`throw;`) what you do not
//   handle; a body that catches GeneratorExit and yields makes close() raise "generator ignored
//   GeneratorExit".
// - An exception escaping the body ends it and reaches the caller as the Python exception; a StopIteration
//   becomes RuntimeError("generator raised StopIteration"), as PEP 479 has it.
// - A body runs with the GIL held, on the thread that resumed it; nothing else may resume it meanwhile
//   (re-entry raises ValueError "generator already executing").
// - A closure may declare `void finalized() noexcept`: it runs first when the object is finalized before its
//   body ended (dropped unfinished, or closed by the garbage collector), before any close or event-loop hook.
//   It may release what the body holds on behalf of others; it must not resume the body.

namespace corvel {
namespace nb = nanobind;

class Generator;  // the return type of a generator body: corvel::Generator body(Closure &c)
class Coroutine;  // the return type of a coroutine body: corvel::Coroutine body(Closure &c)
class AsyncGenerator;  // the return type of an async generator body: corvel::AsyncGenerator body(Closure &c)
struct YieldFrom;

// `yield from iterable` inside a Generator body: `nb::object result = co_await corvel::yield_from(x);`.
// Values the iterable yields pass out to the caller, send/throw/close pass in to it (PEP 380), and the
// result is its return value (StopIteration.value).
YieldFrom yield_from(nb::object iterable);

// Creates the Python generator for `body`, whose closure is C{args...}: nb::handle arguments become owning
// references. Nothing runs until the first next(). The name and qualname are the called function's.
//     return corvel::make_generator<Lines>(f, read_lines, f.function(), f[1]);
template <class C, class... Args>
nb::object make_generator(const Frame &f, Generator (*body)(C &), Args &&...args);

// The same for a coroutine body; the object is awaitable and asyncio runs it.
//     return corvel::make_coroutine<Run>(f, run_tool, f[0], f[1]);
template <class C, class... Args>
nb::object make_coroutine(const Frame &f, Coroutine (*body)(C &), Args &&...args);

// The same for an async generator body; `async for` and asyncio's hooks drive it.
//     return corvel::make_async_generator<Stream>(f, read_stream, f.function(), f[1]);
template <class C, class... Args>
nb::object make_async_generator(const Frame &f, AsyncGenerator (*body)(C &), Args &&...args);

// next(iterator): the next item, or a null object once it is exhausted (errors are thrown).
//     while (nb::object item = corvel::next(c.items)) ...
nb::object next(nb::handle iterator);

// The closure of a body object made with closure type C, or null for any other object.
template <class C>
C *closure_as(nb::handle obj) noexcept;

// A module global of `function` as bound now (Frame::global for a body that runs after the call returned).
nb::object global(nb::handle function, nb::detail::str_key name);

// ---------------------------------------------------------------------------------------------------------
// The machinery below is what the compiler needs to see; bodies use only the names above.

namespace detail {

template <class T>
concept python_ref = std::derived_from<std::remove_cvref_t<T>, nb::handle>;

// An owning reference to whatever a body yields, awaits or returns. A temporary object's reference is moved
// out, so that the temporary, which lives in the frame until the full expression ends (across the
// suspension), holds nothing the GC cannot see.
template <class T>
nb::object to_object(T &&value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::derived_from<V, nb::object> && !std::is_lvalue_reference_v<T> &&
                  !std::is_const_v<std::remove_reference_t<T>>)
        return nb::steal(value.release());
    else if constexpr (python_ref<T>)
        return nb::borrow(value);
    else
        return nb::cast(std::forward<T>(value));
}

enum class BodyKind : unsigned char { generator, coroutine, async_generator };

// What a body and its Python object exchange at each suspension. Only `delegate` is held while suspended,
// and the object's tp_traverse visits it.
struct PromiseBase {
    explicit PromiseBase(BodyKind kind) noexcept : kind(kind) {}

    nb::object value;     // in: the sent value or the delegate's result; out: the yielded value
    nb::object thrown;    // in: the exception to raise at the suspension point instead
    nb::object delegate;  // the iterator of a yield_from/co_await in progress
    nb::object result;    // what co_return gave
    nb::object error;     // the exception that ended the body
    bool returned = false;
    bool yielded = false;  // the last suspension was a co_yield, not a delegate's yield (async generators)
    const BodyKind kind;

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept;
    template <class T>
    void return_value(T &&v) {
        result = to_object(std::forward<T>(v));
        returned = true;
    }

    nb::object resumed();                      // the sent value, or throws the injected exception
    bool start_delegate(nb::object source);  // true when it finished without yielding (result in `value`)
};

// A suspension point: `co_yield` and the yield of a delegate.
struct Resume {
    PromiseBase &p;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    nb::object await_resume() const { return p.resumed(); }
};

struct Delegation {
    PromiseBase &p;
    nb::object source;
    bool await_ready() { return p.start_delegate(std::move(source)); }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    nb::object await_resume() const { return p.resumed(); }
};

// Owns a coroutine frame until the Python object takes it.
class BodyFrame {
public:
    BodyFrame(std::coroutine_handle<> handle, PromiseBase *promise) noexcept : handle_(handle), promise_(promise) {}
    BodyFrame(BodyFrame &&o) noexcept
        : handle_(std::exchange(o.handle_, {})), promise_(std::exchange(o.promise_, nullptr)) {}
    BodyFrame &operator=(BodyFrame &&) = delete;
    ~BodyFrame() {
        if (handle_)
            handle_.destroy();
    }
    std::coroutine_handle<> release() noexcept {
        promise_ = nullptr;
        return std::exchange(handle_, {});
    }
    PromiseBase *promise() const noexcept { return promise_; }

private:
    std::coroutine_handle<> handle_;
    PromiseBase *promise_;
};

struct GeneratorPromise;
struct CoroutinePromise;
struct AsyncGeneratorPromise;

// The closure, type-erased for the Python object's traverse, clear and dealloc.
struct ClosureBase {
    virtual ~ClosureBase() = default;
    virtual int traverse(visitproc visit, void *arg) noexcept = 0;
    virtual void clear() noexcept = 0;
    virtual void finalized() noexcept {}
};

inline int visit_ref(nb::handle h, visitproc visit, void *arg) noexcept {
    return h.ptr() ? visit(h.ptr(), arg) : 0;
}
template <class R>
    requires(!python_ref<R> && requires(R &r) { std::begin(r); })
int visit_ref(R &refs, visitproc visit, void *arg) noexcept {
    for (auto &r : refs)
        if (int e = visit_ref(r, visit, arg))
            return e;
    return 0;
}

template <class T>
void clear_ref(T &ref) noexcept {
    T dropped = std::move(ref);  // released after the slot is empty, as Py_CLEAR does
    if constexpr (!python_ref<T>)
        ref.clear();
}

template <class C>
struct ClosureBox final : ClosureBase {
    static_assert(requires(C &c) { c.refs(); }, "a closure lists its objects: auto refs() { return std::tie(a, b); }");

    explicit ClosureBox(C &&c) : value(std::move(c)) {}
    int traverse(visitproc visit, void *arg) noexcept override {
        return std::apply([&](auto &...ref) {
            int e = 0;
            ((e = e ? e : visit_ref(ref, visit, arg)), ...);
            return e;
        }, value.refs());
    }
    void clear() noexcept override {
        std::apply([](auto &...ref) { (clear_ref(ref), ...); }, value.refs());
    }
    void finalized() noexcept override {
        if constexpr (requires(C &c) { { c.finalized() } noexcept -> std::same_as<void>; })
            value.finalized();
    }
    C value;
};

template <class T>
decltype(auto) own(T &&arg) {
    if constexpr (std::is_same_v<std::remove_cvref_t<T>, nb::handle>)
        return nb::borrow(arg);
    else
        return std::forward<T>(arg);
}

// The closure a body object owns, or null for any other object.
ClosureBase *closure_of(nb::handle obj) noexcept;

// The Python object that runs `frame`; it owns the closure from here on.
nb::object new_body_object(BodyKind kind, const Frame &f, BodyFrame frame, std::unique_ptr<ClosureBase> closure);

}  // namespace detail

struct YieldFrom {
    nb::object iterable;
};

inline YieldFrom yield_from(nb::object iterable) { return {std::move(iterable)}; }

class Generator : public detail::BodyFrame {
public:
    using promise_type = detail::GeneratorPromise;
    using detail::BodyFrame::BodyFrame;
};

class Coroutine : public detail::BodyFrame {
public:
    using promise_type = detail::CoroutinePromise;
    using detail::BodyFrame::BodyFrame;
};

class AsyncGenerator : public detail::BodyFrame {
public:
    using promise_type = detail::AsyncGeneratorPromise;
    using detail::BodyFrame::BodyFrame;
};

namespace detail {

struct GeneratorPromise : PromiseBase {
    GeneratorPromise() noexcept : PromiseBase(BodyKind::generator) {}
    Generator get_return_object() noexcept {
        return {std::coroutine_handle<GeneratorPromise>::from_promise(*this), this};
    }
    template <class T>
    Resume yield_value(T &&v) {
        value = to_object(std::forward<T>(v));
        return {*this};
    }
    Delegation await_transform(YieldFrom y) { return {*this, std::move(y.iterable)}; }
    Ready await_transform(Ready r) noexcept { return r; }
};

struct CoroutinePromise : PromiseBase {
    CoroutinePromise() noexcept : PromiseBase(BodyKind::coroutine) {}
    Coroutine get_return_object() noexcept {
        return {std::coroutine_handle<CoroutinePromise>::from_promise(*this), this};
    }
    template <python_ref T>
    Delegation await_transform(T &&awaitable) {
        return {*this, to_object(std::forward<T>(awaitable))};
    }
    Ready await_transform(Ready r) noexcept { return r; }
};

struct AsyncGeneratorPromise : PromiseBase {
    AsyncGeneratorPromise() noexcept : PromiseBase(BodyKind::async_generator) {}
    AsyncGenerator get_return_object() noexcept {
        return {std::coroutine_handle<AsyncGeneratorPromise>::from_promise(*this), this};
    }
    template <class T>
    Resume yield_value(T &&v) {
        value = to_object(std::forward<T>(v));
        yielded = true;
        return {*this};
    }
    template <python_ref T>
    Delegation await_transform(T &&awaitable) {
        return {*this, to_object(std::forward<T>(awaitable))};
    }
    Ready await_transform(Ready r) noexcept { return r; }
};

template <class Body, class C, class... Args>
nb::object make_body_object(BodyKind kind, const Frame &f, Body (*body)(C &), Args &&...args) {
    auto closure = std::make_unique<ClosureBox<C>>(C{own(std::forward<Args>(args))...});
    Body frame = body(closure->value);
    return new_body_object(kind, f, std::move(frame), std::move(closure));
}

}  // namespace detail

template <class C>
C *closure_as(nb::handle obj) noexcept {
    auto *box = dynamic_cast<detail::ClosureBox<C> *>(detail::closure_of(obj));
    return box ? &box->value : nullptr;
}

template <class C, class... Args>
nb::object make_generator(const Frame &f, Generator (*body)(C &), Args &&...args) {
    return detail::make_body_object(detail::BodyKind::generator, f, body, std::forward<Args>(args)...);
}

template <class C, class... Args>
nb::object make_coroutine(const Frame &f, Coroutine (*body)(C &), Args &&...args) {
    return detail::make_body_object(detail::BodyKind::coroutine, f, body, std::forward<Args>(args)...);
}

template <class C, class... Args>
nb::object make_async_generator(const Frame &f, AsyncGenerator (*body)(C &), Args &&...args) {
    return detail::make_body_object(detail::BodyKind::async_generator, f, body, std::forward<Args>(args)...);
}

}  // namespace corvel

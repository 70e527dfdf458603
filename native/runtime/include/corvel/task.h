// corvel/task.h: a body that one transport runs at once and another suspends
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <utility>

namespace corvel {
namespace nb = nanobind;

// An operation whose result is already there: `co_await corvel::ready(x)` is x, in every kind of body.
// A body written once for two transports awaits what a transport gives it; the blocking transport hands
// over ready results, the asynchronous one Python awaitables.
struct Ready {
    nb::object value;
    bool await_ready() const noexcept { return true; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    nb::object await_resume() noexcept { return std::move(value); }
};

inline Ready ready(nb::object value) { return {std::move(value)}; }

// A C++ coroutine that runs to its end within run(), as a plain call would: the blocking form of a body
// whose asynchronous form is a corvel::Coroutine. It may await only ready results. No Python object is
// made for it, and its frame lives on the heap, so a deep chain of them costs little native stack.
class Eager {
public:
    struct promise_type {
        nb::object result;
        std::exception_ptr error;

        Eager get_return_object() noexcept { return Eager(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void unhandled_exception() noexcept { error = std::current_exception(); }
        void return_value(nb::object value) noexcept { result = std::move(value); }
        Ready await_transform(Ready r) noexcept { return r; }
    };

    Eager(Eager &&o) noexcept : handle_(std::exchange(o.handle_, {})) {}
    Eager &operator=(Eager &&) = delete;
    ~Eager() {
        if (handle_)
            handle_.destroy();
    }

    // Runs the body; its result, or what it threw (a Python error as the very exception object).
    nb::object run() && {
        handle_.resume();
        promise_type &p = handle_.promise();
        if (p.error)
            std::rethrow_exception(p.error);
        return std::move(p.result);
    }

private:
    explicit Eager(std::coroutine_handle<promise_type> h) noexcept : handle_(h) {}
    std::coroutine_handle<promise_type> handle_;
};

}  // namespace corvel

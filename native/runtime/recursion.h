// recursion.h: native calls and resumptions inside the interpreter's recursion limit
#pragma once

#include <Python.h>

namespace corvel::detail {

// One level of the interpreter's C recursion count, held while a native function runs or a native body
// is resumed. A chain of native calls (a tool loop recursing through _core_call and _response) never
// passes through the eval loop, so without this no limit would ever stop it short of the stack's end.
//
// The count alone cannot promise that: it assumes frames of CPython's size, and one level of ours is
// bigger (several under the sanitizers), so the level is refused too when the thread's stack is nearly
// full. Either way the caller gets RecursionError, and the failure paths run on the stack left.
class RecursionGuard {
public:
    RecursionGuard() noexcept : entered_(enter()) {}
    ~RecursionGuard() {
        if (entered_)
            Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

    // False when the level was refused; RecursionError is then set.
    explicit operator bool() const noexcept { return entered_; }

private:
    static bool enter() noexcept;
    bool entered_;
};

}  // namespace corvel::detail

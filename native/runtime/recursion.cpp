// recursion.cpp: the interpreter's recursion count and the thread's stack, checked at every native level
#include "recursion.h"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace corvel::detail {
namespace {

// What must stay free below the last level admitted: that level's own frames and whatever it calls
// before the next check (a request through requests, pydantic's validation), then the failure paths of
// the levels above as they unwind. A tool pass takes about 2 KiB (9 KiB under the sanitizers).
constexpr std::uintptr_t margin = 64 * 1024;

struct Stack {
    std::uintptr_t low = 0, high = 0;  // empty: not known, nothing is checked
};

Stack find_stack() noexcept {
    Stack s;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return s;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > margin) {
        s.low = reinterpret_cast<std::uintptr_t>(addr);
        s.high = s.low + size;
    }
    pthread_attr_destroy(&attr);
#endif
    return s;
}

// Looked up once per thread (the main thread's costs a read of /proc/self/maps).
bool stack_nearly_full() noexcept {
    thread_local const Stack stack = find_stack();
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Outside the thread's stack (a library running code on a stack of its own): not ours to judge.
    return here >= stack.low && here < stack.high && here - stack.low < margin;
}

}  // namespace

bool RecursionGuard::enter() noexcept {
    if (Py_EnterRecursiveCall(""))
        return false;
    if (!stack_nearly_full())
        return true;
    Py_LeaveRecursiveCall();
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded (the thread's stack is nearly full)");
    return false;
}

}  // namespace corvel::detail

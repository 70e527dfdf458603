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

// The lowest address of the calling thread's stack; 1 where it cannot be known, which never trips the check.
[[gnu::noinline]] std::uintptr_t find_stack_low() noexcept {
    std::uintptr_t low = 1;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return low;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > margin)
        low = reinterpret_cast<std::uintptr_t>(addr);
    pthread_attr_destroy(&attr);
#endif
    return low;
}

// Looked up once per thread (the main thread's costs a read of /proc/self/maps). The one unsigned
// comparison is also false outside the thread's stack (a library running code on a stack of its own: not
// ours to judge), below it as above it.
bool stack_nearly_full() noexcept {
    thread_local std::uintptr_t low = 0;
    if (!low)
        low = find_stack_low();
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - low < margin;
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

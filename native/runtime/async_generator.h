// async_generator.h: the async generator object and the awaitables that drive its body (PEP 525)
#pragma once

#include "body.h"

namespace corvel::detail {

// A body object with what PEP 525 adds: the awaitable in progress is marked on the generator, aclose()
// marks it closed, and the event loop's hooks are looked up at the first iteration.
struct AsyncGeneratorObject {
    BodyObject body;
    PyObject *code;       // the function's code object (ag_code)
    PyObject *finalizer;  // the loop's finalizer hook as it was at the first iteration, or null
    PyObject *driver;     // the awaitable whose step is in progress, running or paused (borrowed; cleared
                          // when the step ends or the awaitable goes)
    bool running_async;   // an __anext__/asend/athrow/aclose awaitable is driving the body (ag_running)
    bool closed;          // aclose() began, or the body ended with StopAsyncIteration or GeneratorExit
    bool hooks_inited;
};

inline AsyncGeneratorObject *as_async_generator(PyObject *o) noexcept {
    return reinterpret_cast<AsyncGeneratorObject *>(o);
}

// The fields beyond the body object's, for new_body_object.
void init_async_generator(BodyObject *g, nb::object code) noexcept;

// The awaitables: asend(value) (null for __anext__) and athrow(*args) (null for aclose).
PyObject *new_asend(PyObject *gen, PyObject *value) noexcept;
PyObject *new_athrow(PyObject *gen, PyObject *args) noexcept;

}  // namespace corvel::detail

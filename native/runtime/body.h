// body.h: the Python object that runs a C++ coroutine body (shared by the generator, coroutine and async
// generator types)
#pragma once

#include "corvel/generator.h"

namespace corvel::detail {

enum class State : unsigned char { created, suspended, running, finished };

// Like a Python generator, the object owns its frame (destroyed once finished) and its closure.
struct BodyObject {
    PyObject_HEAD
    PyObject *name;
    PyObject *qualname;
    PyObject *function;      // the native function that made it: gi_code, and the globals of gi_frame
    PyObject *frame_object;  // gi_frame, made when first asked for; gone once finished
    PyObject *weakrefs;
    ClosureBase *closure;
    PromiseBase *promise;  // null once the frame is gone
    std::coroutine_handle<> frame;
    State state;
    BodyKind kind;
};

inline BodyObject *as_body(PyObject *o) noexcept { return reinterpret_cast<BodyObject *>(o); }

// The three ways in, with CPython's semantics: `send` is am_send, `throw_in` takes throw()'s arguments.
// GeneratorExit closes a delegate in progress unless `close_delegate` is false: an async generator's
// aclose()/athrow() throw it into the delegate, so that cleanup may still await.
PySendResult body_send(PyObject *self, PyObject *arg, PyObject **out) noexcept;
PySendResult body_throw_in(BodyObject *g, PyObject *const *args, Py_ssize_t nargs, PyObject **out,
                           bool close_delegate = true) noexcept;
PyObject *body_close(BodyObject *g) noexcept;

// send() and __next__: the yielded value, or StopIteration carrying the returned one.
PyObject *body_send_method(PyObject *self, PyObject *arg) noexcept;
PyObject *body_iternext(PyObject *self) noexcept;
// throw()'s argument check (and the 3.12 deprecation of the three-argument form), then throw_in; and the
// same as a send result.
PyObject *body_throw(BodyObject *g, PyObject *const *args, Py_ssize_t nargs) noexcept;
PySendResult body_throw_send(BodyObject *g, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept;

// throw() and close() of one of the runtime's own iterators, as its methods do them. A body forwarding to such
// a delegate calls them directly: a call of the method would be a level of the interpreter's own recursion
// count, which may refuse it before it reaches the delegate, and the delegate, left in the middle of its
// step, would then be taken for one that had ended (see throw_to_delegate).
struct IteratorOps {
    PySendResult (*throw_in)(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept;
    PyObject *(*close)(PyObject *self) noexcept;
};

// The operations of a native generator or coroutine, of a coroutine's __await__ iterator, or of an async
// generator's awaitables; null for any other object.
const IteratorOps *iterator_ops(PyObject *obj) noexcept;
const IteratorOps *await_iterator_ops(PyObject *obj) noexcept;  // coroutine.cpp: __await__'s iterator
const IteratorOps *awaitable_ops(PyObject *obj) noexcept;        // async_generator_await.cpp: asend, athrow

// A send result as a call's: PYGEN_RETURN raises StopIteration carrying the value (and takes it).
PyObject *send_result(PySendResult r, PyObject *out) noexcept;

// A METH_FASTCALL function as the PyCFunction that PyMethodDef stores.
inline PyCFunction fastcall(PyObject *(*f)(PyObject *, PyObject *const *, Py_ssize_t) noexcept) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Type slots shared by both types.
extern PyMethodDef body_methods[];
int body_traverse(PyObject *self, visitproc visit, void *arg) noexcept;
int body_clear(PyObject *self) noexcept;
void body_finalize(PyObject *self) noexcept;
void body_dealloc(PyObject *self) noexcept;  // clears through tp_clear, so a type's own fields go with it
// A coroutine's attributes: its cr_ names, then what a generator has (generator_getset points there).
extern PyGetSetDef coroutine_getset[];
extern PyGetSetDef *const generator_getset;

// The closure's finalized(), for an object finalized before its body ended.
inline void closure_finalized(BodyObject *g) noexcept {
    if (g->closure)
        g->closure->finalized();
}

// The exception pending in the interpreter, taken out normalized; and put back as it is (no chaining).
nb::object take_error() noexcept;
void restore_error(nb::object exc) noexcept;

// PEP 479: a StopIteration leaving a body becomes a RuntimeError caused by it (PEP 525: and a
// StopAsyncIteration leaving an async generator).
nb::object stop_iteration_error(nb::object exc, BodyKind kind) noexcept;

// Whether `obj` is one of the runtime's body objects (not the await wrapper).
bool is_body_object(nb::handle obj) noexcept;

// `await obj`'s iterator, as the interpreter's GET_AWAITABLE finds it.
nb::object awaitable_iter(nb::handle obj);

// The types (static, readied on first use: once per extension module).
extern PyTypeObject generator_type, coroutine_type, async_generator_type;
PyTypeObject *ready(PyTypeObject *type);

}  // namespace corvel::detail

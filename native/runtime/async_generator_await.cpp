// async_generator_await.cpp: the awaitables of __anext__()/asend() and athrow()/aclose(), which drive an
// async generator's body with the semantics of CPython's async_generator_asend and async_generator_athrow
#include "async_generator.h"

namespace corvel::detail {
namespace {

enum class AwaitState : unsigned char { init, iter, closed };

// Since 3.12.4 an awaitable refuses to start while another one drives the generator, whichever way it starts
// (throw() included), and one whose throw() ended the step is used up.
constexpr bool exclusive_throw = PY_VERSION_HEX >= 0x030C04F0;

struct AsendObject {
    PyObject_HEAD
    PyObject *gen;
    PyObject *value;  // what asend() sends first; null for __anext__()
    AwaitState state;
};

struct AthrowObject {
    PyObject_HEAD
    PyObject *gen;
    PyObject *args;  // athrow()'s arguments, checked when it starts; null for aclose()
    AwaitState state;
};

AsendObject *as_asend(PyObject *o) noexcept { return reinterpret_cast<AsendObject *>(o); }
AthrowObject *as_athrow(PyObject *o) noexcept { return reinterpret_cast<AthrowObject *>(o); }
AsyncGeneratorObject *gen_of(AsendObject *o) noexcept { return as_async_generator(o->gen); }
AsyncGeneratorObject *gen_of(AthrowObject *o) noexcept { return as_async_generator(o->gen); }

PySendResult fail(PyObject *type, const char *text) noexcept {
    PyErr_SetString(type, text);
    return PYGEN_ERROR;
}

PySendResult already_running(AthrowObject *o) noexcept {
    o->state = AwaitState::closed;
    return fail(PyExc_RuntimeError, o->args ? "athrow(): asynchronous generator is already running"
                                            : "aclose(): asynchronous generator is already running");
}

// ---------------------------------------------------------------------------------------------------------
// One step of the body. Whether it stopped at a co_yield (the awaitable's result) or in a delegate (a value
// for the event loop) is asked afresh at every step.

PyObject *self_of(AsyncGeneratorObject *ag) noexcept { return reinterpret_cast<PyObject *>(ag); }

// The awaitable `self` drives the generator until its step ends.
void drive(AsyncGeneratorObject *ag, PyObject *self) noexcept {
    ag->running_async = true;
    ag->driver = self;
}

// The generator an awaitable is in the middle of a step of, or null.
AsyncGeneratorObject *driven_by(PyObject *awaitable) noexcept;

// Nothing drives the generator any more. Its body stays where it is; when that is inside an await (the step
// was refused at the recursion limit before it got there, or the awaitable driving it went in the middle of
// the step), the async generators that await reaches, each in the middle of a step driven through it, are
// paused with it. Each is driven again by the awaitable that was driving it when the body resumes; until
// then each can be closed on its own, in any order.
void pause(AsyncGeneratorObject *ag) noexcept {
    for (; ag; ag = ag->body.promise ? driven_by(ag->body.promise->delegate.ptr()) : nullptr)
        ag->running_async = false;
}

// The awaitable's step has ended.
void stop(AsyncGeneratorObject *ag) noexcept {
    ag->driver = nullptr;
    pause(ag);
}

// A step of an awaitable that was paused (see pause) drives its generator again.
void redrive(AsyncGeneratorObject *ag, PyObject *self) noexcept {
    if (ag->driver == self)
        ag->running_async = true;
}

void begin_step(AsyncGeneratorObject *ag) noexcept {
    if (ag->body.promise)
        ag->body.promise->yielded = false;
}

bool is_yield(AsyncGeneratorObject *ag, PySendResult r) noexcept {
    return r == PYGEN_NEXT && ag->body.promise->yielded;
}

PySendResult gen_send(AsyncGeneratorObject *ag, PyObject *arg, PyObject **out) noexcept {
    begin_step(ag);
    return body_send(self_of(ag), arg ? arg : Py_None, out);
}

// throw() as the generator method has it: argument checks, delegates closed on GeneratorExit.
PySendResult gen_throw(AsyncGeneratorObject *ag, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
    begin_step(ag);
    return body_throw_send(&ag->body, args, nargs, out);
}

// The throw of athrow()/aclose(): GeneratorExit too goes into the delegate, so that cleanup may await.
PySendResult gen_throw_in(AsyncGeneratorObject *ag, PyObject *const *args, Py_ssize_t nargs,
                          PyObject **out) noexcept {
    begin_step(ag);
    return body_throw_in(&ag->body, args, nargs, out, false);
}

// A step as the awaitable reports it: a delegate's yield passes out; a co_yield completes the awaitable with
// its value; the body's end is StopAsyncIteration. Either of those ends the generator's running.
PySendResult unwrap(AsyncGeneratorObject *ag, PySendResult r, PyObject **out) noexcept {
    if (r == PYGEN_NEXT && !is_yield(ag, r))
        return r;
    stop(ag);
    if (r == PYGEN_NEXT)
        return PYGEN_RETURN;
    if (r == PYGEN_RETURN) {
        Py_CLEAR(*out);
        PyErr_SetNone(PyExc_StopAsyncIteration);
    }
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))
        ag->closed = true;
    return PYGEN_ERROR;
}

PySendResult returned_none(PyObject **out) noexcept {
    Py_XSETREF(*out, Py_NewRef(Py_None));
    return PYGEN_RETURN;
}

// What ends aclose(): the body's end, or StopAsyncIteration or GeneratorExit leaving it, is its success.
PySendResult closed_result(PySendResult r, PyObject **out) noexcept {
    if (r == PYGEN_RETURN || (r == PYGEN_ERROR && (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
                                                   PyErr_ExceptionMatches(PyExc_GeneratorExit)))) {
        PyErr_Clear();
        return returned_none(out);
    }
    return r;
}

// aclose()'s last step: a body that yields instead of ending ignored GeneratorExit.
PySendResult aclose_ended(AthrowObject *o, PySendResult r, PyObject **out) noexcept {
    stop(gen_of(o));
    o->state = AwaitState::closed;
    if (r != PYGEN_NEXT)
        return closed_result(r, out);
    Py_CLEAR(*out);
    return fail(PyExc_RuntimeError, "async generator ignored GeneratorExit");
}

// ---------------------------------------------------------------------------------------------------------
// asend

PySendResult asend_send(PyObject *self, PyObject *arg, PyObject **out) noexcept {
    AsendObject *o = as_asend(self);
    AsyncGeneratorObject *ag = gen_of(o);
    *out = nullptr;
    if (o->state == AwaitState::closed)
        return fail(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    if (o->state == AwaitState::init) {
        if (ag->running_async) {
            if (exclusive_throw)
                o->state = AwaitState::closed;
            return fail(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
        }
        if (!arg || arg == Py_None)
            arg = o->value;
        o->state = AwaitState::iter;
    }
    drive(ag, self);
    PySendResult r = unwrap(ag, gen_send(ag, arg, out), out);
    if (r != PYGEN_NEXT)
        o->state = AwaitState::closed;
    return r;
}

PySendResult asend_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
    AsendObject *o = as_asend(self);
    AsyncGeneratorObject *ag = gen_of(o);
    *out = nullptr;
    if (o->state == AwaitState::closed)
        return fail(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    if (exclusive_throw && o->state == AwaitState::init) {
        if (ag->running_async) {
            o->state = AwaitState::closed;
            return fail(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
        }
        o->state = AwaitState::iter;
        drive(ag, self);
    } else {
        redrive(ag, self);
    }
    PySendResult r = unwrap(ag, gen_throw(ag, args, nargs, out), out);
    if (r != PYGEN_NEXT)
        o->state = AwaitState::closed;
    return r;
}

// ---------------------------------------------------------------------------------------------------------
// athrow and aclose

PySendResult athrow_start(AthrowObject *o, PyObject *arg, PyObject **out) noexcept {
    AsyncGeneratorObject *ag = gen_of(o);
    if (ag->running_async)
        return already_running(o);
    if (ag->closed) {
        o->state = AwaitState::closed;
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    }
    if (arg != Py_None)
        return fail(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
    o->state = AwaitState::iter;
    drive(ag, reinterpret_cast<PyObject *>(o));
    if (!o->args) {
        ag->closed = true;
        PyObject *exit = PyExc_GeneratorExit;
        PySendResult r = gen_throw_in(ag, &exit, 1, out);
        // A step refused before GeneratorExit reached the body (the recursion limit) leaves it as it was: a
        // later aclose(), the event loop's included, still closes it.
        if (r == PYGEN_ERROR && ag->body.state != State::finished)
            ag->closed = false;
        return r == PYGEN_NEXT && !is_yield(ag, r) ? r : aclose_ended(o, r, out);
    }
    PyObject *type, *value = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(o->args, "athrow", 1, 3, &type, &value, &tb))
        return PYGEN_ERROR;
    PySendResult r = gen_throw_in(ag, &PyTuple_GET_ITEM(o->args, 0), PyTuple_GET_SIZE(o->args), out);
    r = unwrap(ag, r, out);
    if (r != PYGEN_NEXT) {
        stop(ag);
        o->state = AwaitState::closed;
    }
    return r;
}

PySendResult athrow_send(PyObject *self, PyObject *arg, PyObject **out) noexcept {
    AthrowObject *o = as_athrow(self);
    AsyncGeneratorObject *ag = gen_of(o);
    *out = nullptr;
    if (o->state == AwaitState::closed)
        return fail(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    if (ag->body.state == State::finished) {
        o->state = AwaitState::closed;
        return returned_none(out);
    }
    if (o->state == AwaitState::init)
        return athrow_start(o, arg ? arg : Py_None, out);
    redrive(ag, self);
    PySendResult r = gen_send(ag, arg, out);
    if (o->args)
        return unwrap(ag, r, out);
    return r == PYGEN_NEXT && !is_yield(ag, r) ? r : aclose_ended(o, r, out);
}

PySendResult athrow_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
    AthrowObject *o = as_athrow(self);
    AsyncGeneratorObject *ag = gen_of(o);
    *out = nullptr;
    if (o->state == AwaitState::closed)
        return fail(PyExc_RuntimeError, "cannot reuse already awaited aclose()/athrow()");
    if (exclusive_throw && o->state == AwaitState::init) {
        if (ag->running_async)
            return already_running(o);
        o->state = AwaitState::iter;
        drive(ag, self);
    } else {
        redrive(ag, self);
    }
    PySendResult r = gen_throw(ag, args, nargs, out);
    if (!o->args && is_yield(ag, r))
        return aclose_ended(o, r, out);
    if (o->args)
        r = unwrap(ag, r, out);
    if (exclusive_throw && r != PYGEN_NEXT) {
        stop(ag);
        o->state = AwaitState::closed;
    }
    return o->args ? r : closed_result(r, out);
}

// ---------------------------------------------------------------------------------------------------------
// What both types share: close(), the warning for one never awaited, the methods and the slots.

using Send = PySendResult (*)(PyObject *, PyObject *, PyObject **) noexcept;
using Throw = PySendResult (*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject **) noexcept;

// 3.13 throws GeneratorExit into an awaitable being closed; before it, close() only marks it used.
template <Throw throw_in, class O>
PyObject *close_awaitable(PyObject *self) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    if (reinterpret_cast<O *>(self)->state == AwaitState::closed)
        Py_RETURN_NONE;
    PyObject *exit = PyExc_GeneratorExit, *out = nullptr;
    PySendResult r = throw_in(self, &exit, 1, &out);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_ERROR && !PyErr_ExceptionMatches(PyExc_StopIteration) &&
        !PyErr_ExceptionMatches(PyExc_StopAsyncIteration) && !PyErr_ExceptionMatches(PyExc_GeneratorExit))
        return nullptr;
    Py_XDECREF(out);
    PyErr_Clear();
#else
    reinterpret_cast<O *>(self)->state = AwaitState::closed;
#endif
    Py_RETURN_NONE;
}

#if PY_VERSION_HEX >= 0x030D0000
void warn_never_awaited(PyObject *self, PyObject *gen, const char *method) noexcept {
    nb::error_scope saved;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine method '%s' of %R was never awaited", method,
                         as_body(gen)->qualname) < 0)
        PyErr_WriteUnraisable(self);
}
#endif

template <Send send, Throw throw_in, class O>
PyMethodDef awaitable_methods[] = {
    {"send",
     [](PyObject *self, PyObject *arg) noexcept {
         PyObject *out = nullptr;
         PySendResult r = send(self, arg, &out);
         return send_result(r, out);
     },
     METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw",
     fastcall(+[](PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
         PyObject *out = nullptr;
         PySendResult r = throw_in(self, args, nargs, &out);
         return send_result(r, out);
     }),
     METH_FASTCALL, "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded "
                    "value or raise StopIteration."},
    {"close", [](PyObject *self, PyObject *) noexcept { return close_awaitable<throw_in, O>(self); }, METH_NOARGS,
     "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

template <class O>
int awaitable_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    O *o = reinterpret_cast<O *>(self);
    Py_VISIT(o->gen);
    if constexpr (requires { o->value; })
        Py_VISIT(o->value);
    else
        Py_VISIT(o->args);
    return 0;
}

// An awaitable that goes in the middle of its step can no longer end it: its generator is paused for good.
void abandon(PyObject *self, AsyncGeneratorObject *ag) noexcept {
    if (ag->driver == self)
        stop(ag);
}

template <class O>
void awaitable_dealloc(PyObject *self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return;
    PyObject_GC_UnTrack(self);
    O *o = reinterpret_cast<O *>(self);
    abandon(self, gen_of(o));
    Py_CLEAR(o->gen);
    if constexpr (requires { o->value; })
        Py_CLEAR(o->value);
    else
        Py_CLEAR(o->args);
    Py_TYPE(self)->tp_free(self);
}

template <class O, Send send, Throw throw_in>
PyTypeObject awaitable_type(const char *name) {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = name;
    t.tp_basicsize = sizeof(O);
    t.tp_dealloc = awaitable_dealloc<O>;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = awaitable_traverse<O>;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = [](PyObject *self) noexcept {
        PyObject *out = nullptr;
        PySendResult r = send(self, nullptr, &out);
        return send_result(r, out);
    };
    t.tp_methods = awaitable_methods<send, throw_in, O>;
    static PyAsyncMethods async{PyObject_SelfIter, nullptr, nullptr, send};
    t.tp_as_async = &async;
    return t;
}

PyTypeObject asend_type = [] {
    PyTypeObject t = awaitable_type<AsendObject, asend_send, asend_throw>("corvel.native_async_generator_asend");
#if PY_VERSION_HEX >= 0x030D0000
    t.tp_finalize = [](PyObject *self) noexcept {
        AsendObject *o = as_asend(self);
        if (o->state == AwaitState::init)
            warn_never_awaited(self, o->gen, "asend");
    };
#endif
    return t;
}();

PyTypeObject athrow_type = [] {
    PyTypeObject t =
        awaitable_type<AthrowObject, athrow_send, athrow_throw>("corvel.native_async_generator_athrow");
#if PY_VERSION_HEX >= 0x030D0000
    t.tp_finalize = [](PyObject *self) noexcept {
        AthrowObject *o = as_athrow(self);
        if (o->state == AwaitState::init)
            warn_never_awaited(self, o->gen, o->args ? "athrow" : "aclose");
    };
#endif
    return t;
}();

AsyncGeneratorObject *driven_by(PyObject *awaitable) noexcept {
    PyTypeObject *type = awaitable ? Py_TYPE(awaitable) : nullptr;
    if (type != &asend_type && type != &athrow_type)
        return nullptr;
    AsyncGeneratorObject *ag = type == &asend_type ? gen_of(as_asend(awaitable)) : gen_of(as_athrow(awaitable));
    return ag->driver == awaitable && ag->running_async ? ag : nullptr;
}

// A body's close of the awaitable it delegates to (PEP 380) ends the step it is in: before 3.13, close() only
// marks the awaitable used, which would leave its generator running with nothing to drive it.
template <Throw throw_in, class O>
PyObject *close_delegated(PyObject *self) noexcept {
    PyObject *r = close_awaitable<throw_in, O>(self);
    abandon(self, as_async_generator(reinterpret_cast<O *>(self)->gen));
    return r;
}

const IteratorOps asend_ops = {asend_throw, close_delegated<asend_throw, AsendObject>};
const IteratorOps athrow_ops = {athrow_throw, close_delegated<athrow_throw, AthrowObject>};

template <class O>
PyObject *new_awaitable(PyTypeObject *type, PyObject *gen, PyObject *extra) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0)
        return nullptr;
    O *o = PyObject_GC_New(O, type);
    if (!o)
        return nullptr;
    o->gen = Py_NewRef(gen);
    if constexpr (requires { o->value; })
        o->value = Py_XNewRef(extra);
    else
        o->args = Py_XNewRef(extra);
    o->state = AwaitState::init;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject *>(o);
}

}  // namespace

const IteratorOps *awaitable_ops(PyObject *obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    return type == &asend_type ? &asend_ops : type == &athrow_type ? &athrow_ops : nullptr;
}

PyObject *new_asend(PyObject *gen, PyObject *value) noexcept {
    return new_awaitable<AsendObject>(&asend_type, gen, value);
}

PyObject *new_athrow(PyObject *gen, PyObject *args) noexcept {
    return new_awaitable<AthrowObject>(&athrow_type, gen, args);
}

}  // namespace corvel::detail

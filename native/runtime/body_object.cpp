// body_object.cpp: send, throw and close of a body object, with the semantics of CPython's generators
#include "body.h"
#include "recursion.h"

#include <frameobject.h>

namespace corvel::detail {
namespace {

const char *kind(BodyObject *g) noexcept {
    switch (g->kind) {
        case BodyKind::coroutine: return "coroutine";
        case BodyKind::async_generator: return "async generator";
        default: return "generator";
    }
}

PySendResult fail(PyObject *type, const char *format, const char *what) noexcept {
    PyErr_Format(type, format, what);
    return PYGEN_ERROR;
}

// The frame goes as soon as the body ends, releasing what its locals held, as CPython clears a frame.
void finish(BodyObject *g) noexcept {
    std::coroutine_handle<> frame = std::exchange(g->frame, {});
    g->promise = nullptr;
    g->state = State::finished;
    if (frame)
        frame.destroy();
    Py_CLEAR(g->frame_object);
}

// Runs the body from its suspension point until it yields, returns or raises.
PySendResult resume(BodyObject *g, nb::object value, nb::object exc, PyObject **out) noexcept {
    *out = nullptr;  // it may still hold a finished delegate's result, already handed to the body
    PromiseBase &p = *g->promise;
    p.value = std::move(value);
    p.thrown = std::move(exc);
    g->state = State::running;
    g->frame.resume();
    if (!g->frame.done()) {
        g->state = State::suspended;
        *out = p.value.is_valid() ? p.value.release().ptr() : Py_NewRef(Py_None);
        return PYGEN_NEXT;
    }
    nb::object result = std::move(p.result), error = std::move(p.error);
    bool returned = p.returned;
    finish(g);
    if (error.is_valid()) {
        restore_error(std::move(error));
        return PYGEN_ERROR;
    }
    if (!returned) {
        PyErr_Format(PyExc_SystemError, "the body of %s %U ended without co_return", kind(g), g->qualname);
        return PYGEN_ERROR;
    }
    *out = result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

// Raises `exc` where the body is suspended. An unstarted body never runs: the exception leaves from its
// first line, so only 3.11's frame, which had entered the body, applies PEP 479 to it.
PySendResult inject(BodyObject *g, nb::object exc, PyObject **out) noexcept {
    switch (g->state) {
        case State::running: return fail(PyExc_ValueError, "%s already executing", kind(g));
        case State::finished:
            if (g->kind == BodyKind::coroutine)
                return fail(PyExc_RuntimeError, "cannot reuse already awaited %s", kind(g));
            restore_error(std::move(exc));
            return PYGEN_ERROR;
        case State::created:
            finish(g);
#if PY_VERSION_HEX < 0x030C0000
            exc = stop_iteration_error(std::move(exc), g->kind);
#endif
            restore_error(std::move(exc));
            return PYGEN_ERROR;
        case State::suspended: break;
    }
    return resume(g, {}, std::move(exc), out);
}

// The delegate has finished: the body resumes with its return value, or with its exception raised.
PySendResult delegate_ended(BodyObject *g, PySendResult r, PyObject *value, PyObject **out) noexcept {
    nb::object result = r == PYGEN_RETURN ? nb::steal(value) : nb::object();
    nb::object exc = r == PYGEN_ERROR ? take_error() : nb::object();
    { nb::object dropped = std::move(g->promise->delegate); }
    return resume(g, std::move(result), std::move(exc), out);
}

// A call's result as a send result: a StopIteration it raised is its return value.
PySendResult as_send_result(PyObject *ret, PyObject **out) noexcept {
    *out = ret;
    if (ret)
        return PYGEN_NEXT;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return PYGEN_ERROR;
    nb::object stop = take_error();
    *out = PyObject_GetAttrString(stop.ptr(), "value");
    return *out ? PYGEN_RETURN : PYGEN_ERROR;
}

// An attribute that may be missing: null without an error when it is.
nb::object lookup(nb::handle obj, const char *name) noexcept {
    nb::object value = nb::steal(PyObject_GetAttrString(obj.ptr(), name));
    if (!value.is_valid() && PyErr_ExceptionMatches(PyExc_AttributeError))
        PyErr_Clear();
    return value;
}

// PEP 380's close of a delegate: its close() if it has one. False when that raised.
bool close_delegate(nb::handle delegate) noexcept {
    if (const IteratorOps *ops = iterator_ops(delegate.ptr()))
        return nb::steal(ops->close(delegate.ptr())).is_valid();
    nb::object close = lookup(delegate, "close");
    if (!close.is_valid()) {
        if (PyErr_Occurred())
            PyErr_WriteUnraisable(delegate.ptr());
        return true;
    }
    return nb::steal(PyObject_CallNoArgs(close.ptr())).is_valid();
}

bool is_generator_like(nb::handle obj) noexcept {
    return PyGen_CheckExact(obj.ptr()) || PyCoro_CheckExact(obj.ptr()) || is_body_object(obj);
}

// throw(type[, value[, traceback]]) made into one exception instance, as CPython's _gen_throw does.
nb::object normalize(PyObject *const *args, Py_ssize_t nargs) noexcept {
    PyObject *type = args[0], *value = nargs > 1 ? args[1] : nullptr, *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None)
        tb = nullptr;
    else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return {};
    }
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        if (tb)
            PyException_SetTraceback(type, tb);
        return nb::borrow(type);
    }
    if (!PyExceptionClass_Check(type)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return {};
    }
    PyObject *t = Py_NewRef(type), *v = Py_XNewRef(value), *b = Py_XNewRef(tb);
    PyErr_NormalizeException(&t, &v, &b);
    if (b && v)
        PyException_SetTraceback(v, b);
    Py_XDECREF(t);
    Py_XDECREF(b);
    return nb::steal(v);
}

// The delegate's throw() (`method`, or its `ops`), as a send result: a generator or coroutine gets the
// normalized exception, which spares it a second deprecation warning for the three-argument form; other
// iterators get throw()'s arguments as they came.
PySendResult delegate_throw(nb::handle delegate, const IteratorOps *ops, nb::handle method, PyObject *const *args,
                            Py_ssize_t nargs, PyObject **out) noexcept {
    nb::object exc;
    PyObject *one = nullptr;
    if (nargs > 1 && is_generator_like(delegate)) {
        if (!(exc = normalize(args, nargs)).is_valid())
            return PYGEN_ERROR;
        one = exc.ptr();
        args = &one;
        nargs = 1;
    }
    if (ops)
        return ops->throw_in(delegate.ptr(), args, nargs, out);
    return as_send_result(PyObject_Vectorcall(method.ptr(), args, (size_t) nargs, nullptr), out);
}

// throw() during a delegation goes to the delegate first (PEP 380); GeneratorExit closes it instead, when
// `closing`. False when the exception is for the body itself.
bool throw_to_delegate(BodyObject *g, PyObject *const *args, Py_ssize_t nargs, PyObject **out, PySendResult &r,
                       bool closing) noexcept {
    PromiseBase &p = *g->promise;
    nb::handle delegate = p.delegate;  // p keeps it alive until it is dropped
    if (closing && PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
        g->state = State::running;
        bool closed = close_delegate(delegate);
        g->state = State::suspended;
        if (!closed) {
            r = delegate_ended(g, PYGEN_ERROR, nullptr, out);
            return true;
        }
        { nb::object dropped = std::move(p.delegate); }
        return false;
    }
    const IteratorOps *ops = iterator_ops(delegate.ptr());
    nb::object method = ops ? nb::object() : lookup(delegate, "throw");
    if (!ops && !method.is_valid()) {
        if (PyErr_Occurred()) {
            r = PYGEN_ERROR;
            return true;
        }
        { nb::object dropped = std::move(p.delegate); }
        return false;
    }
    g->state = State::running;
    r = delegate_throw(delegate, ops, method, args, nargs, out);
    g->state = State::suspended;
    if (r != PYGEN_NEXT)
        r = delegate_ended(g, r, *out, out);
    return true;
}

}  // namespace

PyObject *send_result(PySendResult r, PyObject *out) noexcept {
    if (r != PYGEN_RETURN)
        return out;
    // A returned value travels in a StopIteration instance: given as is, a tuple would become its arguments.
    if (out == Py_None)
        PyErr_SetNone(PyExc_StopIteration);
    else if (PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, out)) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    Py_DECREF(out);
    return nullptr;
}

namespace {

PyObject *next_result(PySendResult r, PyObject *out) noexcept {
    if (r == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);  // a bare end of iteration needs no StopIteration object
        return nullptr;
    }
    return send_result(r, out);
}

}  // namespace

PySendResult body_send(PyObject *self, PyObject *arg, PyObject **out) noexcept {
    BodyObject *g = as_body(self);
    *out = nullptr;
    if (g->state == State::created && arg != Py_None)
        return fail(PyExc_TypeError, "can't send non-None value to a just-started %s", kind(g));
    if (g->state == State::running)
        return fail(PyExc_ValueError, "%s already executing", kind(g));
    if (g->state == State::finished) {
        if (g->kind == BodyKind::coroutine)
            return fail(PyExc_RuntimeError, "cannot reuse already awaited %s", kind(g));
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    // One level of recursion for the body and any delegate it forwards to: a delegation chain (a tool loop's
    // follow-up streams) nests one send per generator. Refused, it leaves the body where it was.
    RecursionGuard guard;
    if (!guard)
        return PYGEN_ERROR;
    PromiseBase &p = *g->promise;
    if (!p.delegate.is_valid())
        return resume(g, nb::borrow(arg), {}, out);
    g->state = State::running;
    PySendResult r = PyIter_Send(p.delegate.ptr(), arg, out);
    g->state = State::suspended;
    return r == PYGEN_NEXT ? r : delegate_ended(g, r, *out, out);
}

PySendResult body_throw_in(BodyObject *g, PyObject *const *args, Py_ssize_t nargs, PyObject **out,
                           bool close_delegate) noexcept {
    *out = nullptr;
    RecursionGuard guard;
    if (!guard)
        return PYGEN_ERROR;
    PySendResult r;
    if (g->state == State::suspended && g->promise->delegate.is_valid() &&
        throw_to_delegate(g, args, nargs, out, r, close_delegate))
        return r;
    nb::object exc = normalize(args, nargs);
    return exc.is_valid() ? inject(g, std::move(exc), out) : PYGEN_ERROR;
}

PySendResult body_throw_send(BodyObject *g, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
    *out = nullptr;
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return PYGEN_ERROR;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return PYGEN_ERROR;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return PYGEN_ERROR;
#endif
    return body_throw_in(g, args, nargs, out);
}

PyObject *body_throw(BodyObject *g, PyObject *const *args, Py_ssize_t nargs) noexcept {
    PyObject *out = nullptr;
    PySendResult r = body_throw_send(g, args, nargs, &out);
    return send_result(r, out);
}

PyObject *body_close(BodyObject *g) noexcept {
    if (g->state == State::created)
        finish(g);
    if (g->state == State::finished)
        Py_RETURN_NONE;
    if (g->state == State::running) {
        PyErr_Format(PyExc_ValueError, "%s already executing", kind(g));
        return nullptr;
    }
    RecursionGuard guard;
    if (!guard)
        return nullptr;
    // What the delegate's close() raised replaces GeneratorExit, as in CPython.
    nb::object exc;
    if (g->promise->delegate.is_valid()) {
        nb::object delegate = std::move(g->promise->delegate);
        g->state = State::running;
        if (!close_delegate(delegate))
            exc = take_error();
        g->state = State::suspended;
    }
    if (!exc.is_valid() && !(exc = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit))).is_valid())
        return nullptr;
    PyObject *out = nullptr;
    switch (inject(g, std::move(exc), &out)) {
        case PYGEN_NEXT:
            Py_DECREF(out);
            PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind(g));
            return nullptr;
        case PYGEN_RETURN:
#if PY_VERSION_HEX >= 0x030D0000
            return out;  // 3.13: close() returns what the body returned
#else
            Py_DECREF(out);
            Py_RETURN_NONE;
#endif
        default: break;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *body_iternext(PyObject *self) noexcept {
    PyObject *out = nullptr;
    PySendResult r = body_send(self, Py_None, &out);
    return next_result(r, out);
}

PyObject *body_send_method(PyObject *self, PyObject *arg) noexcept {
    PyObject *out = nullptr;
    PySendResult r = body_send(self, arg, &out);
    return send_result(r, out);
}

namespace {

const IteratorOps body_ops = {
    [](PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
        return body_throw_send(as_body(self), args, nargs, out);
    },
    [](PyObject *self) noexcept { return body_close(as_body(self)); },
};

}  // namespace

const IteratorOps *iterator_ops(PyObject *obj) noexcept {
    if (is_body_object(obj))
        return &body_ops;
    const IteratorOps *ops = await_iterator_ops(obj);
    return ops ? ops : awaitable_ops(obj);
}

PyMethodDef body_methods[] = {
    {"send", body_send_method, METH_O,
     "send(arg) -> send 'arg' into the body,\nreturn next yielded value or raise StopIteration."},
    {"throw",
     fastcall(+[](PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
         return body_throw(as_body(self), args, nargs);
     }),
     METH_FASTCALL, "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in the body, return next yielded "
                    "value or raise StopIteration."},
    {"close", [](PyObject *self, PyObject *) noexcept { return body_close(as_body(self)); }, METH_NOARGS,
     "close() -> raise GeneratorExit inside the body."},
    {nullptr, nullptr, 0, nullptr},
};

int body_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    BodyObject *g = as_body(self);
    Py_VISIT(g->function);
    Py_VISIT(g->frame_object);
    if (g->promise)
        Py_VISIT(g->promise->delegate.ptr());
    return g->closure ? g->closure->traverse(visit, arg) : 0;
}

// Cycles through a suspended body are broken by ending it: the frame's locals go first (their destructors
// may still use the closure), then the closure. A running body is never garbage: its caller holds it.
int body_clear(PyObject *self) noexcept {
    BodyObject *g = as_body(self);
    if (g->state == State::running)
        return 0;
    finish(g);
    if (ClosureBase *closure = std::exchange(g->closure, nullptr)) {
        closure->clear();
        delete closure;
    }
    Py_CLEAR(g->function);  // through its globals, part of any cycle that runs through the module
    return 0;
}

void body_finalize(PyObject *self) noexcept {
    BodyObject *g = as_body(self);
    if (g->state == State::finished)
        return;
    nb::error_scope saved;
    closure_finalized(g);
    if (g->kind == BodyKind::coroutine && g->state == State::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited", g->qualname) < 0)
            PyErr_WriteUnraisable(self);
        return;
    }
    if (PyObject *r = body_close(g))
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(self);
}

void body_dealloc(PyObject *self) noexcept {
    BodyObject *g = as_body(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs)
        PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return;  // resurrected by the finalizer
    PyObject_GC_UnTrack(self);
    Py_TYPE(self)->tp_clear(self);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    Py_TYPE(self)->tp_free(self);
}

namespace {

int set_name(PyObject **slot, PyObject *value, const char *what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

// What inspect.getgeneratorstate and getcoroutinestate read: running, suspended, and a frame until the
// body has finished. The frame is a stand-in with the function's code (the body runs in C++), made only
// when asked for.
PyObject *get_frame(PyObject *self, void *) noexcept {
    BodyObject *g = as_body(self);
    if (g->state == State::finished || !g->function)
        Py_RETURN_NONE;
    if (!g->frame_object) {
        nb::object code = nb::steal(PyObject_GetAttrString(g->function, "__code__"));
        nb::object globals = nb::steal(code.is_valid() ? PyObject_GetAttrString(g->function, "__globals__") : nullptr);
        if (!globals.is_valid())
            return nullptr;
        PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.ptr()),
                                           globals.ptr(), nullptr);
        if (!frame)
            return nullptr;
        g->frame_object = reinterpret_cast<PyObject *>(frame);
    }
    return Py_NewRef(g->frame_object);
}

PyObject *get_code(PyObject *self, void *) noexcept {
    BodyObject *g = as_body(self);
    return g->function ? PyObject_GetAttrString(g->function, "__code__") : Py_NewRef(Py_None);
}

PyObject *get_running(PyObject *self, void *) noexcept { return PyBool_FromLong(as_body(self)->state == State::running); }

PyObject *get_suspended(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_body(self)->state == State::suspended);
}

// The iterator of the `yield from`/`await` the body is suspended in; like CPython, None while it runs.
PyObject *get_delegate(PyObject *self, void *) noexcept {
    BodyObject *g = as_body(self);
    PyObject *delegate = g->state == State::suspended ? g->promise->delegate.ptr() : nullptr;
    return Py_NewRef(delegate ? delegate : Py_None);
}

}  // namespace

PyGetSetDef coroutine_getset[] = {
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_await", get_delegate, nullptr, nullptr, nullptr},
    // A generator's table starts here.
    {"__name__", [](PyObject *self, void *) noexcept { return Py_NewRef(as_body(self)->name); },
     [](PyObject *self, PyObject *v, void *) noexcept { return set_name(&as_body(self)->name, v, "__name__"); },
     nullptr, nullptr},
    {"__qualname__", [](PyObject *self, void *) noexcept { return Py_NewRef(as_body(self)->qualname); },
     [](PyObject *self, PyObject *v, void *) noexcept {
         return set_name(&as_body(self)->qualname, v, "__qualname__");
     },
     nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_delegate, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef *const generator_getset = coroutine_getset + 5;

}  // namespace corvel::detail

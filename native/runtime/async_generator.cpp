// async_generator.cpp: the native async generator type, its event-loop hooks and its finalization
#include "async_generator.h"

#include <cstddef>

namespace corvel::detail {
namespace {

AsyncGeneratorObject *from(PyObject *self) noexcept { return as_async_generator(self); }

// The hooks sys.set_asyncgen_hooks() installed (asyncio's register the generator for
// loop.shutdown_asyncgens() and close a dropped one on the loop), taken once, at the first iteration.
bool init_hooks(PyObject *self) noexcept {
    AsyncGeneratorObject *ag = from(self);
    if (ag->hooks_inited)
        return true;
    ag->hooks_inited = true;
    PyThreadState *ts = PyThreadState_Get();
    if (ts->async_gen_finalizer)
        ag->finalizer = Py_NewRef(ts->async_gen_finalizer);
    if (!ts->async_gen_firstiter)
        return true;
    nb::object firstiter = nb::borrow(ts->async_gen_firstiter);  // the hook may replace itself
    return nb::steal(PyObject_CallOneArg(firstiter.ptr(), self)).is_valid();
}

PyObject *anext(PyObject *self) noexcept { return init_hooks(self) ? new_asend(self, nullptr) : nullptr; }

PyObject *asend(PyObject *self, PyObject *value) noexcept {
    return init_hooks(self) ? new_asend(self, value) : nullptr;
}

PyObject *athrow(PyObject *self, PyObject *args) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyTuple_GET_SIZE(args) > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                                   "the (type, exc, tb) signature of athrow() is deprecated, "
                                                   "use the single-arg signature instead.",
                                                   1) < 0)
        return nullptr;
#endif
    return init_hooks(self) ? new_athrow(self, args) : nullptr;
}

PyObject *aclose(PyObject *self, PyObject *) noexcept {
    return init_hooks(self) ? new_athrow(self, nullptr) : nullptr;
}

PyMethodDef methods[] = {
    {"asend", asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", athrow, METH_VARARGS, "athrow(value)\nathrow(type[,value[,tb]])\n\nraise exception in generator."},
    {"aclose", aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *bool_of(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

// __name__ and __qualname__ are the body object's own entries.
PyGetSetDef getset[] = {
    generator_getset[0],
    generator_getset[1],
    {"ag_await",
     [](PyObject *self, void *) noexcept {
         PromiseBase *p = from(self)->body.promise;
         return Py_NewRef(p && p->delegate.is_valid() ? p->delegate.ptr() : Py_None);
     },
     nullptr, "object being awaited on, or None", nullptr},
    {"ag_running", [](PyObject *self, void *) noexcept { return bool_of(from(self)->running_async); }, nullptr,
     nullptr, nullptr},
    {"ag_suspended",
     [](PyObject *self, void *) noexcept { return bool_of(from(self)->body.state == State::suspended); }, nullptr,
     nullptr, nullptr},
    // A native body has no Python frame to show.
    {"ag_frame", [](PyObject *, void *) noexcept { return Py_NewRef(Py_None); }, nullptr, nullptr, nullptr},
    {"ag_code",
     [](PyObject *self, void *) noexcept {
         PyObject *code = from(self)->code;
         return Py_NewRef(code ? code : Py_None);
     },
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(from(self)->finalizer);
    return body_traverse(self, visit, arg);
}

int clear(PyObject *self) noexcept {
    body_clear(self);
    Py_CLEAR(from(self)->finalizer);
    Py_CLEAR(from(self)->code);
    return 0;
}

// A generator dropped unfinished after its first iteration under an event loop goes to the loop's finalizer
// hook, which resurrects it to run aclose() there, where its cleanup may await. Otherwise it is closed here,
// where nothing can be awaited: a body that awaits or yields while closing is reported as ignoring
// GeneratorExit.
void finalize(PyObject *self) noexcept {
    AsyncGeneratorObject *ag = from(self);
    if (ag->body.state == State::finished)
        return;
    if (!ag->finalizer || ag->closed)
        return body_finalize(self);
    nb::error_scope saved;
    closure_finalized(&ag->body);
    nb::object finalizer = nb::borrow(ag->finalizer);
    if (!nb::steal(PyObject_CallOneArg(finalizer.ptr(), self)).is_valid())
        PyErr_WriteUnraisable(self);
}

}  // namespace

PyTypeObject async_generator_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "corvel.native_async_generator";
    t.tp_basicsize = sizeof(AsyncGeneratorObject);
    t.tp_dealloc = body_dealloc;
    t.tp_repr = [](PyObject *self) noexcept {
        return PyUnicode_FromFormat("<native async generator object %U at %p>", as_body(self)->qualname, self);
    };
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "An async generator of corvel's native modules.";
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_weaklistoffset = offsetof(AsyncGeneratorObject, body) + offsetof(BodyObject, weakrefs);
    t.tp_methods = methods;
    t.tp_getset = getset;
    t.tp_finalize = finalize;
    static PyAsyncMethods async{nullptr, PyObject_SelfIter, anext, nullptr};
    t.tp_as_async = &async;
    return t;
}();

void init_async_generator(BodyObject *g, nb::object code) noexcept {
    AsyncGeneratorObject *ag = as_async_generator(reinterpret_cast<PyObject *>(g));
    ag->code = code.release().ptr();
    ag->finalizer = nullptr;
    ag->driver = nullptr;
    ag->running_async = ag->closed = ag->hooks_inited = false;
}

}  // namespace corvel::detail

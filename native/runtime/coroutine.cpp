// coroutine.cpp: the native coroutine type, the iterator its __await__ returns, and what `await` accepts
#include "body.h"

#include "corvel/errors.h"

#include <cstddef>

namespace corvel::detail {
namespace {

// What coroutine.__await__() returns: an iterator that drives the coroutine, like CPython's
// coroutine_wrapper; a coroutine itself is not iterable.
struct AwaitObject {
    PyObject_HEAD
    PyObject *coroutine;
};

PyObject *coroutine_of(PyObject *self) noexcept { return reinterpret_cast<AwaitObject *>(self)->coroutine; }

PySendResult await_send(PyObject *self, PyObject *arg, PyObject **out) noexcept {
    return body_send(coroutine_of(self), arg, out);
}

PyMethodDef await_methods[] = {
    {"send", [](PyObject *self, PyObject *arg) noexcept { return body_send_method(coroutine_of(self), arg); },
     METH_O, nullptr},
    {"throw",
     fastcall(+[](PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
         return body_throw(as_body(coroutine_of(self)), args, nargs);
     }),
     METH_FASTCALL, nullptr},
    {"close", [](PyObject *self, PyObject *) noexcept { return body_close(as_body(coroutine_of(self))); },
     METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int await_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(coroutine_of(self));
    return 0;
}

int await_clear(PyObject *self) noexcept {
    Py_CLEAR(reinterpret_cast<AwaitObject *>(self)->coroutine);
    return 0;
}

const IteratorOps await_ops = {
    [](PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject **out) noexcept {
        return body_throw_send(as_body(coroutine_of(self)), args, nargs, out);
    },
    [](PyObject *self) noexcept { return body_close(as_body(coroutine_of(self))); },
};

PyTypeObject await_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "corvel.native_coroutine_wrapper";
    t.tp_basicsize = sizeof(AwaitObject);
    t.tp_dealloc = [](PyObject *self) noexcept {
        PyObject_GC_UnTrack(self);
        await_clear(self);
        Py_TYPE(self)->tp_free(self);
    };
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = await_traverse;
    t.tp_clear = await_clear;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = [](PyObject *self) noexcept { return body_iternext(coroutine_of(self)); };
    t.tp_methods = await_methods;
    static PyAsyncMethods async{nullptr, nullptr, nullptr, await_send};
    t.tp_as_async = &async;
    return t;
}();

PyObject *coroutine_await(PyObject *self) noexcept {
    if (!(await_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&await_type) < 0)
        return nullptr;
    AwaitObject *w = PyObject_GC_New(AwaitObject, &await_type);
    if (!w)
        return nullptr;
    w->coroutine = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

}  // namespace

const IteratorOps *await_iterator_ops(PyObject *obj) noexcept {
    return Py_TYPE(obj) == &await_type ? &await_ops : nullptr;
}

namespace {

// A generator made a coroutine by types.coroutine: awaitable as it is.
bool is_iterable_coroutine(nb::handle obj) {
    if (!PyGen_CheckExact(obj.ptr()))
        return false;
    nb::object flags = obj.attr("gi_code").attr("co_flags");
    return (nb::cast<long>(flags) & CO_ITERABLE_COROUTINE) != 0;
}

}  // namespace

PyTypeObject coroutine_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "corvel.native_coroutine";
    t.tp_basicsize = sizeof(BodyObject);
    t.tp_dealloc = body_dealloc;
    t.tp_repr = [](PyObject *self) noexcept {
        return PyUnicode_FromFormat("<native coroutine object %U at %p>", as_body(self)->qualname, self);
    };
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "A coroutine of corvel's native modules.";
    t.tp_traverse = body_traverse;
    t.tp_clear = body_clear;
    t.tp_weaklistoffset = offsetof(BodyObject, weakrefs);
    t.tp_methods = body_methods;
    t.tp_getset = coroutine_getset;
    t.tp_finalize = body_finalize;
    static PyAsyncMethods async{coroutine_await, nullptr, nullptr, body_send};
    t.tp_as_async = &async;
    return t;
}();

nb::object awaitable_iter(nb::handle obj) {
    if (PyCoro_CheckExact(obj.ptr()) || is_iterable_coroutine(obj))
        return nb::borrow(obj);
    PyTypeObject *type = Py_TYPE(obj.ptr());
    unaryfunc await = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!await)
        raise(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
    nb::object iterator = nb::steal(await(obj.ptr()));
    if (!iterator.is_valid())
        raise_from_python();
    if (PyCoro_CheckExact(iterator.ptr()) || is_iterable_coroutine(iterator) || is_body_object(iterator))
        raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(iterator.ptr()))
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(iterator.ptr())->tp_name);
    return iterator;
}

}  // namespace corvel::detail

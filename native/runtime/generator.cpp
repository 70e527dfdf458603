// generator.cpp: the native generator type, and the creation of body objects
#include "async_generator.h"
#include "body.h"

#include "corvel/errors.h"

#include <cstddef>

namespace corvel::detail {

PyTypeObject generator_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "corvel.native_generator";
    t.tp_basicsize = sizeof(BodyObject);
    t.tp_dealloc = body_dealloc;
    t.tp_repr = [](PyObject *self) noexcept {
        return PyUnicode_FromFormat("<native generator object %U at %p>", as_body(self)->qualname, self);
    };
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "A generator of corvel's native modules.";
    t.tp_traverse = body_traverse;
    t.tp_clear = body_clear;
    t.tp_weaklistoffset = offsetof(BodyObject, weakrefs);
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = body_iternext;
    t.tp_methods = body_methods;
    t.tp_getset = generator_getset;
    t.tp_finalize = body_finalize;
    static PyAsyncMethods async{nullptr, nullptr, nullptr, body_send};
    t.tp_as_async = &async;
    return t;
}();

PyTypeObject *ready(PyTypeObject *type) {
    if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0)
        raise_from_python();
    return type;
}

bool is_body_object(nb::handle obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    return type == &generator_type || type == &coroutine_type;
}

ClosureBase *closure_of(nb::handle obj) noexcept {
    bool body = is_body_object(obj) || Py_TYPE(obj.ptr()) == &async_generator_type;
    return body ? as_body(obj.ptr())->closure : nullptr;
}

nb::object new_body_object(BodyKind kind, const Frame &f, BodyFrame frame, std::unique_ptr<ClosureBase> closure) {
    PyTypeObject *type = ready(kind == BodyKind::generator   ? &generator_type
                               : kind == BodyKind::coroutine ? &coroutine_type
                                                             : &async_generator_type);
    nb::object name = f.function().attr("__name__"), qualname = f.function().attr("__qualname__");
    nb::object code = kind == BodyKind::async_generator ? f.function().attr("__code__") : nb::object();
    BodyObject *g = PyObject_GC_New(BodyObject, type);  // of the type's size: an async generator has more
    if (!g)
        raise_from_python();
    g->name = name.release().ptr();
    g->qualname = qualname.release().ptr();
    g->function = Py_NewRef(f.function().ptr());
    g->frame_object = nullptr;
    g->weakrefs = nullptr;
    g->closure = closure.release();
    g->promise = frame.promise();
    g->frame = frame.release();
    g->state = State::created;
    g->kind = kind;
    if (kind == BodyKind::async_generator)
        init_async_generator(g, std::move(code));
    PyObject_GC_Track(g);
    return nb::steal(reinterpret_cast<PyObject *>(g));
}

}  // namespace corvel::detail

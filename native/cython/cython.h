// cython.h: the bodies of corvel.cython, one file per concern
#pragma once

#include <corvel/runtime.h>

namespace corvel::cython {

nb::object model_meta_new(const Frame &f);
nb::object get_cached_typeadapter(const Frame &f);
nb::object convert_to_content(const Frame &f);
nb::object function_tool_run(const Frame &f);

inline nb::handle type_handle(PyTypeObject *type) { return reinterpret_cast<PyObject *>(type); }

// getattr(obj, name, default): only an AttributeError gives the default; other errors propagate.
inline nb::object getattr_or(nb::handle obj, const char *name, nb::handle default_) {
    nb::object value = nb::steal(PyObject_GetAttrString(obj.ptr(), name));
    if (value.is_valid())
        return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        raise_from_python();
    PyErr_Clear();
    return nb::borrow(default_);
}

// hasattr(obj, name), which swallows AttributeError and nothing else.
inline bool has_attr(nb::handle obj, const char *name) {
    return getattr_or(obj, name, nb::handle()).is_valid();
}

}  // namespace corvel::cython

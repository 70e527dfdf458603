// corvel/ops.h: Python's truth, comparison and type tests, throwing on failure
#pragma once

#include <nanobind/nanobind.h>

#include "errors.h"

namespace corvel {
namespace nb = nanobind;
using namespace nb::literals;

inline bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0)
        raise_from_python();
    return r != 0;
}

inline bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        raise_from_python();
    return r != 0;
}

// a <op> b with one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE.
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        raise_from_python();
    return r != 0;
}

inline bool isinstance(nb::handle obj, nb::handle type) {
    int r = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (r < 0)
        raise_from_python();
    return r != 0;
}

inline Py_ssize_t length(nb::handle h) {
    Py_ssize_t n = PyObject_Size(h.ptr());
    if (n < 0)
        raise_from_python();
    return n;
}

// seq[i] through the sequence protocol (negative indices count from the end).
inline nb::object item(nb::handle seq, Py_ssize_t i) {
    nb::object value = nb::steal(PySequence_GetItem(seq.ptr(), i));
    if (!value.is_valid())
        raise_from_python();
    return value;
}

// seq[-1] through the item protocol, so an empty list raises IndexError as Python code would.
inline nb::object last(nb::handle seq) {
    nb::object item = nb::steal(PySequence_GetItem(seq.ptr(), -1));
    if (!item.is_valid())
        raise_from_python();
    return item;
}

// A new dict from key/value pairs, in order: make_dict("role", role, "content", content).
inline void dict_put(nb::dict &) {}
template <typename V, typename... Rest>
void dict_put(nb::dict &d, const char *key, V &&value, Rest &&...rest) {
    d[key] = std::forward<V>(value);
    dict_put(d, std::forward<Rest>(rest)...);
}
template <typename... Args>
nb::dict make_dict(Args &&...args) {
    nb::dict d;
    dict_put(d, std::forward<Args>(args)...);
    return d;
}

// {**mapping}: a dict is copied, any other mapping converted through its keys, as unpacking does.
inline nb::dict unpack(nb::handle mapping) {
    nb::dict copy;
    if (!PyDict_Check(mapping.ptr()) && !PyObject_HasAttrString(mapping.ptr(), "keys"))
        raise(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(mapping.ptr())->tp_name);
    if (PyDict_Update(copy.ptr(), mapping.ptr()) < 0)
        raise_from_python();
    return copy;
}

// obj[key], as Python's subscription raises it (KeyError, IndexError, TypeError for what is no container).
inline nb::object subscript(nb::handle obj, nb::handle key) {
    nb::object value = nb::steal(PyObject_GetItem(obj.ptr(), key.ptr()));
    if (!value.is_valid())
        raise_from_python();
    return value;
}

// mapping.get(key, fallback): straight from an exact dict (no method call, the key from nanobind's cache of
// literals); any other object by subscription, a KeyError meaning the fallback, so that what is no mapping
// raises the TypeError that subscription gives rather than an AttributeError for a missing .get.
inline nb::object get(nb::handle mapping, nb::detail::str_key key, nb::handle fallback = nb::none()) {
    nb::detail::cached_name name(key);
    if (!name.value)
        raise_from_python();
    if (!PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyObject_GetItem(mapping.ptr(), name.value);
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            raise_from_python();
        PyErr_Clear();
        return nb::borrow(fallback);
    }
    PyObject *value = PyDict_GetItemWithError(mapping.ptr(), name.value);
    if (!value && PyErr_Occurred())
        raise_from_python();
    return nb::borrow(value ? value : fallback.ptr());
}

// format(value): str() for most objects; what f-strings and "%s" produce.
inline nb::str format(nb::handle value) {
    nb::object text = nb::steal(PyObject_Format(value.ptr(), nullptr));
    if (!text.is_valid())
        raise_from_python();
    return nb::borrow<nb::str>(text);
}

inline nb::handle type_of(nb::handle obj) { return nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))); }

}  // namespace corvel

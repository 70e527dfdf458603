// client.cpp: the client's turn state and streaming mode
#include "modal.h"

namespace corvel::modal {

// A new list rather than clear(): a caller holding the old tool_calls keeps what it held.
nb::object reset(const Frame &f) {
    nb::handle self = f[0];
    self.attr("tool_calls") = nb::list();
    self.attr("_tool_calls_count") = 0;
    return nb::none();
}

// The "stream" option exactly as stored, so the request and the response handling always agree.
nb::object stream(const Frame &f) {
    return f[0].attr("extra_body").attr("get")("stream", false);
}

// pydantic keeps private attributes in a dict of their own and reaches them through a Python-level
// __getattr__ that fails twice before it looks there; the dict is read directly where it is the usual one.
nb::object private_attr(nb::handle self, nb::detail::str_key name) {
    nb::detail::cached_name key(name);
    if (!key.value)
        raise_from_python();
    nb::object privates = nb::getattr(self, "__pydantic_private__", nb::none());
    if (PyDict_CheckExact(privates.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(privates.ptr(), key.value))
            return nb::borrow(value);
        if (PyErr_Occurred())
            raise_from_python();
    }
    nb::object value = nb::steal(PyObject_GetAttr(self.ptr(), key.value));
    if (!value.is_valid())
        raise_from_python();
    return value;
}

}  // namespace corvel::modal

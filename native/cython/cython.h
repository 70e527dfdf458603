// cython.h: the bodies of corvel.cython, one file per concern
#pragma once

#include <corvel/runtime.h>

namespace corvel::cython {

nb::object model_meta_new(const Frame &f);
nb::object get_cached_typeadapter(const Frame &f);
nb::object convert_to_content(const Frame &f);
nb::object function_tool_run(const Frame &f);

// Shortcuts (shortcuts.cpp), each taken only while the module globals it stands for are the ones it was
// checked against when the module was made (`__originals__`, which set_originals fills).
void set_originals(nb::handle function);
nb::object text_content(const Frame &f, nb::handle text);  // TextContent(type="text", text=text)
nb::object default_text(const Frame &f, nb::handle value);  // default_serializer(value)
// ToolResult(content=content, structured_content=structured): `converted` when the structured content is
// made of JSON-able values already.
nb::object make_tool_result(const Frame &f, nb::handle cls, nb::handle content, nb::handle structured, bool converted);
nb::object validate(const Frame &f, nb::handle type_adapter, nb::handle arguments);  // type_adapter.validate_python
// Values that conversion to JSON-able values leaves as they are.
bool json_scalar(nb::handle value);

inline nb::handle type_handle(PyTypeObject *type) { return reinterpret_cast<PyObject *>(type); }

// getattr(obj, name, default): only an AttributeError gives the default; other errors propagate. The name's
// str comes from nanobind's cache of literals rather than being decoded on every call.
inline nb::object getattr_or(nb::handle obj, nb::detail::str_key name, nb::handle default_) {
    nb::detail::cached_name key(name);
    if (!key.value)
        raise_from_python();
    nb::object value = nb::steal(PyObject_GetAttr(obj.ptr(), key.value));
    if (value.is_valid())
        return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        raise_from_python();
    PyErr_Clear();
    return nb::borrow(default_);
}

// hasattr(obj, name), which swallows AttributeError and nothing else.
inline bool has_attr(nb::handle obj, nb::detail::str_key name) {
    return getattr_or(obj, name, nb::handle()).is_valid();
}

}  // namespace corvel::cython

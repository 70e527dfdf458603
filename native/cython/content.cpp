// content.cpp: a tool's result as protocol content blocks
#include "cython.h"

namespace corvel::cython {
namespace {

// While alive, `error` is the exception being handled, as inside an `except` block: logging's
// exc_info=True reads it from there, and an exception raised meanwhile gets it as its __context__.
class Handling {
public:
    explicit Handling(const nb::python_error &error) : previous_(nb::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(error.value().ptr());
    }
    ~Handling() { PyErr_SetHandledException(previous_.ptr()); }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    nb::object previous_;
};

bool is_content_block(const Frame &f, nb::handle value) { return corvel::isinstance(value, f.global("ContentBlock")); }

bool is_media(const Frame &f, nb::handle value) {
    return corvel::isinstance(value, f.global("Image")) || corvel::isinstance(value, f.global("Audio")) ||
           corvel::isinstance(value, f.global("File"));
}

// Image, Audio and File values convert themselves; anything else is not media (an invalid object).
nb::object media_content(const Frame &f, nb::handle value) {
    if (corvel::isinstance(value, f.global("Image")))
        return value.attr("to_image_content")();
    if (corvel::isinstance(value, f.global("Audio")))
        return value.attr("to_audio_content")();
    if (corvel::isinstance(value, f.global("File")))
        return value.attr("to_resource_content")();
    return nb::object();
}

nb::list one(nb::handle block) {
    nb::list blocks;
    blocks.append(block);
    return blocks;
}

// The text of a single value: a str as it is; else the serializer's text, falling back to the default
// serializer (with a warning) when a custom one fails.
nb::object text_of(const Frame &f, nb::handle result, nb::handle serializer) {
    if (corvel::isinstance(result, type_handle(&PyUnicode_Type)))
        return nb::borrow(result);
    if (serializer.is_none())
        return default_text(f, result);
    try {
        return serializer(result);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        Handling handling(e);
        f.global("logger").attr("warning")("Error serializing tool result: %s", e.value(), "exc_info"_a = true);
        return default_text(f, result);
    }
}

// The content blocks and media of a list keep their order, after one text block of all the other items.
nb::object items_content(const Frame &f, nb::handle result, nb::handle serializer) {
    nb::list mcp_types, other_content;
    for (nb::handle item_ : result) {
        if (is_content_block(f, item_) || is_media(f, item_))
            mcp_types.append(item(f.global("_convert_to_content")(item_), 0));
        else
            other_content.append(item_);
    }
    nb::object others = other_content;
    if (length(other_content) > 0)
        others = f.global("_convert_to_content")(other_content, "serializer"_a = serializer,
                                                 "_process_as_single_item"_a = true);
    return others + mcp_types;
}

// Values of the built-in scalar and container types are never content blocks or media; most tool results
// are such values, and the checks against the block and media classes would cost more than the rest.
bool plain_builtin(nb::handle value) {
    PyObject *o = value.ptr();
    return PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) ||
           PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o);
}

}  // namespace

nb::object convert_to_content(const Frame &f) {
    nb::handle result = f[0], serializer = f[1];
    bool process_as_single_item = f[2].is(Py_True);
    if (result.is_none())
        return nb::list();
    if (!plain_builtin(result)) {
        if (is_content_block(f, result))
            return one(result);
        if (nb::object media = media_content(f, result); media.is_valid())
            return one(media);
    }
    bool sequence = corvel::isinstance(result, type_handle(&PyList_Type)) ||
                    corvel::isinstance(result, type_handle(&PyTuple_Type));
    if (sequence && !process_as_single_item)
        return items_content(f, result, serializer);
    return one(text_content(f, text_of(f, result, serializer)));
}

}  // namespace corvel::cython

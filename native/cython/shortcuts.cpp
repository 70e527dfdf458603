// shortcuts.cpp: text blocks, tool results and validations made directly where the call would only copy
#include "cython.h"

namespace corvel::cython {
namespace {

// The objects the shortcuts below were checked against when the module was made, kept in the module
// global `__originals__`. A shortcut is taken only while the global it stands for is still the original, so a
// replaced global is called as it is.
enum Original : Py_ssize_t {
    text_class,        // TextContent, or None where its blocks must be validated
    text_init,         // TextContent.__init__
    text_dict,         // the __dict__ of a validated block; each block gets a copy with its own "text"
    text_extra,        // its __pydantic_extra__
    text_fields,       // its __pydantic_fields_set__
    result_class,      // ToolResult, or None where its __init__ must run
    result_init,       // ToolResult.__init__
    block_types,       // the classes of ContentBlock: ToolResult keeps a list of their instances as it is
    serializer,        // default_serializer
    adapter_validate,  // TypeAdapter.validate_python
    originals_size,
};

class Originals {
public:
    explicit Originals(const Frame &f) : all_(f.global("__originals__")) {
        if (!PyTuple_CheckExact(all_.ptr()) || PyTuple_GET_SIZE(all_.ptr()) != originals_size)
            all_ = nb::none();
    }
    nb::handle operator[](Original slot) const {
        return all_.is_none() ? nb::handle(all_) : nb::handle(PyTuple_GET_ITEM(all_.ptr(), slot));
    }
    // Whether `value` is still the original in `slot` (None never is: it marks a shortcut that does not hold).
    bool is(Original slot, nb::handle value) const { return !value.is_none() && value.is((*this)[slot]); }

private:
    nb::object all_;
};

// What type.__call__ does before __init__.
nb::object new_instance(nb::handle cls) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object no_args = nb::steal(PyTuple_New(0));
    nb::object instance = nb::steal(no_args.is_valid() ? type->tp_new(type, no_args.ptr(), nullptr) : nullptr);
    if (!instance.is_valid())
        raise_from_python();
    return instance;
}

// What pydantic-core's model validator does with what it validated: object.__setattr__, past any
// __setattr__ of the model.
void force_setattr(nb::handle obj, nb::detail::str_key name, nb::handle value) {
    nb::detail::cached_name key(name);
    if (!key.value || PyObject_GenericSetAttr(obj.ptr(), key.value, value.ptr()) < 0)
        raise_from_python();
}

void set_attribute(nb::handle obj, nb::detail::str_key name, nb::handle value) {
    nb::detail::cached_name key(name);
    if (!key.value || PyObject_SetAttr(obj.ptr(), key.value, value.ptr()) < 0)
        raise_from_python();
}

nb::object copy_dict(nb::handle d) {
    nb::object copy = nb::steal(PyDict_Copy(d.ptr()));
    if (!copy.is_valid())
        raise_from_python();
    return copy;
}

nb::object copy_set(nb::handle s) {
    nb::object copy = nb::steal(PySet_New(s.ptr()));
    if (!copy.is_valid())
        raise_from_python();
    return copy;
}

nb::object init_of(nb::handle cls) { return nb::type_lookup(cls, "__init__"); }

bool is_block_type(nb::handle types, nb::handle type) {
    for (Py_ssize_t i = 0; PyTuple_Check(types.ptr()) && i < PyTuple_GET_SIZE(types.ptr()); ++i)
        if (PyTuple_GET_ITEM(types.ptr(), i) == type.ptr())
            return true;
    return false;
}

// --- At import: whether the shortcuts hold for the classes installed ------------------------------------

bool has_type(nb::handle schema, const char *type) {
    return PyDict_Check(schema.ptr()) && equal(get(schema, "type"), nb::str(type));
}

// The text of a block is validated as a plain str: no constraint, validator or str_ option that could change
// or refuse one, no custom __init__, nothing run after validation.
bool text_passes_as_is(nb::handle cls) {
    nb::object schema = getattr_or(cls, "__pydantic_core_schema__", nb::none());
    if (!has_type(schema, "model") || truthy(get(schema, "custom_init")) ||
        !has_type(get(schema, "schema"), "model-fields"))
        return false;
    nb::object text = get(get(get(schema, "schema"), "fields", nb::dict()), "text", nb::dict());
    if (!PyDict_Check(text.ptr()) || !equal(get(text, "schema"), make_dict("type", "str")))
        return false;
    for (nb::handle option : get(schema, "config", nb::dict()))
        if (truthy(option.attr("startswith")("str_")))
            return false;
    return getattr_or(cls, "__pydantic_post_init__", Py_True).is_none();
}

// A block validated once whose fields other than its text hold values every block may share, as its
// (__dict__, __pydantic_extra__, __pydantic_fields_set__); None where the shortcut does not hold.
nb::object text_template(nb::handle cls) {
    if (!PyType_Check(cls.ptr()) || !text_passes_as_is(cls))
        return nb::none();
    nb::object probe = nb::steal(PyUnicode_FromString("a text to be found again"));
    nb::object block = cls("type"_a = "text", "text"_a = probe);
    nb::object dict = getattr_or(block, "__dict__", nb::none());
    nb::object extra = getattr_or(block, "__pydantic_extra__", Py_True);
    nb::object fields = getattr_or(block, "__pydantic_fields_set__", nb::none());
    bool empty_extra = extra.is_none() || (PyDict_CheckExact(extra.ptr()) && length(extra) == 0);
    if (!type_of(block).is(cls) || !PyDict_CheckExact(dict.ptr()) || !get(dict, "text").is(probe) || !empty_extra ||
        !PySet_CheckExact(fields.ptr()) || !getattr_or(block, "__pydantic_private__", Py_True).is_none())
        return nb::none();
    for (auto [name, value] : nb::borrow<nb::dict>(dict))
        if (!value.is(probe) && !json_scalar(value))
            return nb::none();
    return nb::make_tuple(copy_dict(dict), extra, fields);
}

// A result of ToolResult made both ways must agree, content list kept as it is.
bool results_agree(const Frame &f, nb::handle cls) {
    nb::list content;
    content.append(text_content(f, nb::str("probe")));
    nb::dict structured = make_dict("result", 1);
    nb::object called = cls("content"_a = content, "structured_content"_a = structured);
    nb::object made = make_tool_result(f, cls, content, structured, true);
    nb::object called_vars = getattr_or(called, "__dict__", nb::none());
    nb::object made_vars = getattr_or(made, "__dict__", nb::none());
    return type_of(called).is(cls) && getattr_or(called, "content", nb::none()).is(content) &&
           PyDict_Check(called_vars.ptr()) && PyDict_Check(made_vars.ptr()) &&
           equal(nb::list(called_vars.attr("items")()), nb::list(made_vars.attr("items")()));
}

nb::object originals(const Frame &f, bool results) {
    nb::object text = f.global("TextContent"), result = f.global("ToolResult"), none = nb::none();
    nb::object block = text_template(text);
    bool texts = !block.is_none();
    nb::object all = nb::steal(PyTuple_New(originals_size));
    if (!all.is_valid())
        raise_from_python();
    auto put = [&](Original slot, nb::object value) {  // a lookup that found nothing leaves None
        PyTuple_SET_ITEM(all.ptr(), slot, value.is_valid() ? value.release().ptr() : Py_NewRef(Py_None));
    };
    put(text_class, texts ? text : none);
    put(text_init, init_of(text));
    put(text_dict, texts ? item(block, 0) : none);
    put(text_extra, texts ? item(block, 1) : none);
    put(text_fields, texts ? item(block, 2) : none);
    put(result_class, results ? result : none);
    put(result_init, init_of(result));
    put(block_types, f.global("get_args")(f.global("ContentBlock")));
    put(serializer, f.global("default_serializer"));
    put(adapter_validate, nb::type_lookup(f.global("TypeAdapter"), "validate_python"));
    return all;
}

}  // namespace

void set_originals(nb::handle function) {
    Frame f(function.ptr(), nullptr);
    nb::object globals = function.attr("__globals__");
    globals[nb::str("__originals__")] = originals(f, true);
    if (!results_agree(f, f.global("ToolResult")))
        globals[nb::str("__originals__")] = originals(f, false);
}

bool json_scalar(nb::handle value) {
    PyObject *o = value.ptr();
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) || PyFloat_CheckExact(o);
}

// TextContent(type="text", text=text). For an exact str, validation would copy it into a block whose other
// fields never vary: the block is made as pydantic-core's model validator makes it (the class's tp_new, then
// the slots it sets), from the block validated at import.
nb::object text_content(const Frame &f, nb::handle text) {
    nb::object cls = f.global("TextContent");
    Originals o(f);
    if (!PyUnicode_CheckExact(text.ptr()) || !o.is(text_class, cls) || !init_of(cls).is(o[text_init]))
        return cls("type"_a = "text", "text"_a = text);
    nb::object block = new_instance(cls);
    nb::object dict = copy_dict(o[text_dict]);
    nb::detail::cached_name key("text");
    if (!key.value || PyDict_SetItem(dict.ptr(), key.value, text.ptr()) < 0)
        raise_from_python();
    force_setattr(block, "__dict__", dict);
    force_setattr(block, "__pydantic_extra__", o[text_extra].is_none() ? nb::none() : copy_dict(o[text_extra]));
    force_setattr(block, "__pydantic_private__", nb::none());
    force_setattr(block, "__pydantic_fields_set__", copy_set(o[text_fields]));
    return block;
}

// ToolResult(content=content, structured_content=structured). Its __init__ converts the content (a list of
// blocks of the protocol's classes comes back as it is), sets meta to None and makes the structured content
// JSON-able (which a `converted` one is already, and None needs not). Where that is all it would do, the
// result is made as __init__ makes it: its three attributes set in that order.
nb::object make_tool_result(const Frame &f, nb::handle cls, nb::handle content, nb::handle structured, bool converted) {
    Originals o(f);
    bool as_is = o.is(result_class, cls) && init_of(cls).is(o[result_init]) && (converted || structured.is_none()) &&
                 PyList_CheckExact(content.ptr());
    for (Py_ssize_t i = 0; as_is && i < PyList_GET_SIZE(content.ptr()); ++i)
        as_is = is_block_type(o[block_types], type_of(PyList_GET_ITEM(content.ptr(), i)));
    if (!as_is)
        return cls("content"_a = content, "structured_content"_a = structured);
    nb::object result = new_instance(cls);
    set_attribute(result, "content", content);
    set_attribute(result, "meta", nb::none());
    set_attribute(result, "structured_content", structured);
    return result;
}

// default_serializer(value) of an int within 64 bits is its JSON text: its decimal digits, as str() gives them.
nb::object default_text(const Frame &f, nb::handle value) {
    nb::object serialize = f.global("default_serializer");
    if (PyLong_CheckExact(value.ptr()) && Originals(f).is(serializer, serialize)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow)
            return nb::str(value);
    }
    return serialize(value);
}

// type_adapter.validate_python(arguments). TypeAdapter's method hands its argument to its validator after
// checking options that this call does not give: where the adapter's method is that one, the validator is
// called directly.
nb::object validate(const Frame &f, nb::handle type_adapter, nb::handle arguments) {
    nb::object method = type_adapter.attr("validate_python");
    if (PyMethod_Check(method.ptr()) && PyMethod_GET_SELF(method.ptr()) == type_adapter.ptr() &&
        Originals(f).is(adapter_validate, PyMethod_GET_FUNCTION(method.ptr())))
        return type_adapter.attr("validator").attr("validate_python")(arguments);
    return method(arguments);
}

}  // namespace corvel::cython

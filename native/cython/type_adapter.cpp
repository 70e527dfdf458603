// type_adapter.cpp: validators of call arguments for any callable, plain or natively compiled
#include "cython.h"

namespace corvel::cython {
namespace {

nb::object config(const Frame &f, const char *extra) {
    nb::object config_dict = f.global("ConfigDict");
    if (!extra)
        return config_dict("arbitrary_types_allowed"_a = true);
    return config_dict("arbitrary_types_allowed"_a = true, "extra"_a = extra);
}

// f"{getattr(fn, '__name__', 'AnonymousFn')}Params"
nb::object model_name(nb::handle fn) {
    nb::object name = getattr_or(fn, "__name__", nb::str("AnonymousFn"));
    nb::object text = nb::steal(PyObject_Format(name.ptr(), nullptr));
    if (!text.is_valid())
        raise_from_python();
    return text + nb::str("Params");
}

// The parameters of inspect.signature(fn), or None when the signature cannot be read (a builtin without
// a text signature, an extension function without a code object, a broken __signature__).
nb::object signature_parameters(const Frame &f, nb::handle fn) {
    try {
        nb::object parameters = f.global("inspect").attr("signature")(fn).attr("parameters");
        nb::object params = nb::steal(PySequence_List(parameters.attr("values")().ptr()));
        if (!params.is_valid())
            raise_from_python();
        return params;
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        return nb::none();
    }
}

bool has_kind(nb::handle param, nb::handle kind) { return equal(param.attr("kind"), kind); }

bool any_var_keyword(nb::handle params, nb::handle var_keyword) {
    for (nb::handle param : params)
        if (has_kind(param, var_keyword))
            return true;
    return false;
}

// The resolved hints without "return"; if they do not resolve, the annotations as stored (texts stay texts).
nb::dict parameter_hints(const Frame &f, nb::handle fn) {
    nb::object hints;
    try {
        hints = f.global("get_type_hints")(fn, "include_extras"_a = true);
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        hints = getattr_or(fn, "__annotations__", nb::dict());
        if (!truthy(hints))
            hints = nb::dict();
    }
    nb::dict without_return;
    for (nb::handle pair : hints.attr("items")()) {
        nb::object name = pair[0];
        if (!equal(name, nb::str("return")))
            without_return[name] = pair[1];
    }
    return without_return;
}

// Annotated[T, "text"] is a T field described by the text; any other hint is the field's type as it is.
// `default_` is invalid for a required field.
nb::object field_definition(const Frame &f, nb::handle hint, nb::handle default_) {
    nb::object args;
    bool described = f.global("get_origin")(hint).is(f.global("Annotated")) &&
                     length(args = f.global("get_args")(hint)) == 2 && PyUnicode_Check(item(args, 1).ptr());
    if (described) {
        nb::object field = f.global("Field");
        nb::object info = default_.is_valid() ? field(default_, "description"_a = item(args, 1))
                                              : field("description"_a = item(args, 1));
        return nb::make_tuple(item(args, 0), info);
    }
    return nb::make_tuple(hint, default_.is_valid() ? default_ : nb::handle(Py_Ellipsis));
}

// One field per parameter that can be passed by keyword: its hint (Any without one), optional with the
// signature's default where it has one. A tool schema advertises exactly these, so a call that follows
// the schema validates.
nb::dict fields_from_signature(const Frame &f, nb::handle params, nb::handle hints) {
    nb::object parameter = f.global("inspect").attr("Parameter");
    nb::object positional_or_keyword = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::object keyword_only = parameter.attr("KEYWORD_ONLY");
    nb::object empty = parameter.attr("empty"), any = f.global("Any");
    nb::dict fields;
    for (nb::handle param : params) {
        if (!has_kind(param, positional_or_keyword) && !has_kind(param, keyword_only))
            continue;
        nb::object name = param.attr("name"), default_ = param.attr("default");
        nb::object hint = hints.attr("get")(name, any);
        fields[name] = field_definition(f, hint, default_.is(empty) ? nb::handle() : nb::handle(default_));
    }
    return fields;
}

// Without a readable signature only the hints are known: each one a required field.
nb::dict fields_from_hints(const Frame &f, nb::dict hints) {
    nb::dict fields;
    for (auto [name, hint] : hints)
        fields[name] = field_definition(f, hint, nb::handle());
    return fields;
}

// "pydantic.main.create_model()", as the interpreter names a function in its argument errors.
nb::object function_text(nb::handle fn) {
    nb::object qualname = getattr_or(fn, "__qualname__", nb::handle());
    if (!qualname.is_valid())
        return nb::str(fn);
    nb::object module = getattr_or(fn, "__module__", nb::none());
    if (PyUnicode_Check(module.ptr()) && !equal(module, nb::str("builtins")))
        return nb::str("{}.{}()").format(module, qualname);
    return nb::str("{}()").format(qualname);
}

// create_model(name, __config__=config, **fields)
nb::object create_model(const Frame &f, nb::handle name, nb::handle config, nb::dict fields) {
    nb::object create = f.global("create_model");
    nb::str config_key("__config__");
    if (fields.contains(config_key))
        raise(PyExc_TypeError, "%U got multiple values for keyword argument '__config__'",
              function_text(create).ptr());
    nb::dict keywords = make_dict("__config__", config);
    if (PyDict_Update(keywords.ptr(), fields.ptr()) < 0)
        raise_from_python();
    nb::object model = nb::steal(PyObject_Call(create.ptr(), nb::make_tuple(name).ptr(), keywords.ptr()));
    if (!model.is_valid())
        raise_from_python();
    return model;
}

}  // namespace

nb::object get_cached_typeadapter(const Frame &f) {
    nb::handle fn = f[0];
    nb::object type_adapter = f.global("TypeAdapter");
    if (!PyCallable_Check(fn.ptr()))
        return type_adapter(fn, "config"_a = config(f, nullptr));

    nb::object params = signature_parameters(f, fn);
    nb::object var_keyword = f.global("inspect").attr("Parameter").attr("VAR_KEYWORD");
    bool readable = !params.is_none();
    if (!readable)
        params = nb::list();
    if (length(params) == 1 && has_kind(item(params, 0), var_keyword))
        return type_adapter(create_model(f, model_name(fn), config(f, "allow"), nb::dict()));

    nb::dict hints = parameter_hints(f, fn);
    nb::dict fields = readable ? fields_from_signature(f, params, hints) : fields_from_hints(f, hints);
    const char *extra = any_var_keyword(params, var_keyword) ? "allow" : "ignore";
    return type_adapter(create_model(f, model_name(fn), config(f, extra), fields));
}

}  // namespace corvel::cython

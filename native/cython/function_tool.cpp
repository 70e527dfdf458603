// function_tool.cpp: CythonFunctionTool.run, one tool call from arguments to ToolResult
#include "cython.h"

namespace corvel::cython {
namespace {

// `from module import name`, inside the function `method`.
nb::object from_import(nb::handle method, const char *module, const char *name) {
    nb::object fromlist = nb::make_tuple(name);
    nb::object imported = nb::steal(PyImport_ImportModuleLevel(module, method.attr("__globals__").ptr(),
                                                               nullptr, fromlist.ptr(), 0));
    if (!imported.is_valid())
        raise_from_python();
    return imported.attr(name);
}

// The keyword arguments of the call: the validated values themselves (a model-typed parameter gets the
// model, a context parameter the context), the parameter model's fields followed by its extra values.
nb::dict keyword_arguments(nb::handle validated_args) {
    nb::dict kwargs;
    if (has_attr(validated_args, "model_dump")) {
        // What iterating the model gives (its fields, then its extra values), read from where the model
        // keeps them rather than through its Python-level iterator.
        nb::object fields = nb::steal(PyObject_GenericGetDict(validated_args.ptr(), nullptr));
        nb::object extra = getattr_or(validated_args, "__pydantic_extra__", Py_None);
        if (!fields.is_valid() || !PyDict_CheckExact(fields.ptr()) || !(extra.is_none() || PyDict_Check(extra.ptr()))) {
            PyErr_Clear();
            for (nb::handle pair : validated_args)
                kwargs[pair[0]] = pair[1];
            return kwargs;
        }
        if (PyDict_Update(kwargs.ptr(), fields.ptr()) < 0 || (!extra.is_none() && PyDict_Update(kwargs.ptr(), extra.ptr()) < 0))
            raise_from_python();
        return kwargs;
    }
    if (PyDict_Check(validated_args.ptr()))
        return nb::borrow<nb::dict>(validated_args);
    if (!has_attr(validated_args, "keys"))
        raise(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
              Py_TYPE(validated_args.ptr())->tp_name);
    if (PyDict_Update(kwargs.ptr(), validated_args.ptr()) < 0)
        raise_from_python();
    return kwargs;
}

// Which parameter takes the request context. Finding it reads the function's signature and type hints,
// which costs more than the rest of a call, so the answer is kept on the function's cached adapter,
// together with the finder and the context class it came from: a replaced module global is still used.
nb::object context_parameter(nb::handle method, nb::handle fn, nb::handle context, nb::handle type_adapter) {
    nb::object finder = global(method, "find_kwarg_by_type");
    nb::detail::cached_name key("_corvel_context_kwarg");
    nb::object cached = nb::steal(key.value ? PyObject_GetAttr(type_adapter.ptr(), key.value) : nullptr);
    if (!cached.is_valid())
        PyErr_Clear();  // nothing kept, whatever the reason: found again
    else if (PyTuple_CheckExact(cached.ptr()) && PyTuple_GET_SIZE(cached.ptr()) == 3 &&
        PyTuple_GET_ITEM(cached.ptr(), 0) == finder.ptr() && PyTuple_GET_ITEM(cached.ptr(), 1) == context.ptr())
        return nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 2));
    nb::object found = finder(fn, "kwarg_type"_a = context);
    nb::object entry = nb::make_tuple(finder, context, found);
    if (!key.value || PyObject_SetAttr(type_adapter.ptr(), key.value, entry.ptr()) < 0)
        PyErr_Clear();  // an adapter that takes no attributes: found again next time
    return found;
}

// `from fastmcp.server.context import Context`, inside the function `method`. A module already imported is
// taken from sys.modules, as the import statement takes it, without making the name and the fromlist again;
// its attribute is read now, so a replaced module or class is the one used.
nb::object context_class(nb::handle method) {
    nb::detail::cached_name module_name("fastmcp.server.context"), name("Context");
    if (!module_name.value || !name.value)
        raise_from_python();
    nb::object module = nb::steal(PyImport_GetModule(module_name.value));
    if (module.is_valid() && !module.is_none()) {
        nb::object context = nb::steal(PyObject_GetAttr(module.ptr(), name.value));
        if (context.is_valid())
            return context;
    }
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError))
        raise_from_python();
    PyErr_Clear();  // not imported yet, or without the class: the import statement's own way decides
    return from_import(method, "fastmcp.server.context", "Context");
}

// Up to the call of the tool function: the request context where the function asks for one, the
// arguments validated by the function's cached adapter, the function called with them.
nb::object call_tool_function(const Frame &f, nb::handle self, nb::handle caller_arguments) {
    nb::object context = context_class(f.function());
    nb::dict arguments = nb::steal<nb::dict>(PyDict_Copy(caller_arguments.ptr()));
    if (!arguments.is_valid())
        raise_from_python();
    nb::object fn = self.attr("fn");
    nb::object type_adapter = f.global("get_cached_typeadapter")(fn);
    nb::object context_kwarg = context_parameter(f.function(), fn, context, type_adapter);
    if (truthy(context_kwarg) && !arguments.contains(context_kwarg))
        arguments[context_kwarg] = f.global("get_context")();
    nb::object validated_args = validate(f, type_adapter, arguments);
    nb::dict kwargs = keyword_arguments(validated_args);
    nb::object result = nb::steal(PyObject_Call(fn.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    if (!result.is_valid())
        raise_from_python();
    return result;
}

// mapping.get(key): an exact dict's own method cannot be replaced, so its item is read directly.
nb::object get_of(nb::handle mapping, nb::detail::str_key key) {
    if (PyDict_CheckExact(mapping.ptr()))
        return get(mapping, key);
    return mapping.attr("get")(key.str);
}

// The structured form of a result, and whether it is made of JSON-able values already (ToolResult would
// convert it again to an equal value). Without an output schema it is the result made JSON-able, where
// that gives a dict; with one, the result itself, wrapped in a dict where the schema says so.
std::pair<nb::object, bool> structured_content(const Frame &f, nb::handle self, nb::handle result) {
    nb::object structured = nb::none();
    bool converted = false;
    nb::object output_schema = self.attr("output_schema");
    if (!output_schema.is_none()) {
        bool wrap = truthy(get_of(output_schema, "x-fastmcp-wrap-result"));
        structured = wrap ? nb::object(make_dict("result", result)) : nb::borrow(result);
        converted = wrap && json_scalar(result);
    }
    if (!structured.is_none())
        return {structured, converted};
    try {
        structured = f.global("pydantic_core").attr("to_jsonable_python")(result);
        if (!corvel::isinstance(structured, type_handle(&PyDict_Type)))
            return {nb::none(), true};
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        return {nb::none(), true};  // no structured form: content blocks only
    }
    return {structured, PyDict_CheckExact(structured.ptr())};
}

// After the awaited value: the result as content blocks and structured content. A ToolResult of the
// function's own passes unchanged.
nb::object tool_result(const Frame &f, nb::handle self, nb::handle result) {
    nb::object tool_result_type = f.global("ToolResult");
    if (corvel::isinstance(result, tool_result_type))
        return nb::borrow(result);
    nb::object unstructured_result = f.global("_convert_to_content")(result, "serializer"_a = self.attr("serializer"));
    auto [structured, converted] = structured_content(f, self, result);
    return make_tool_result(f, tool_result_type, unstructured_result, structured, converted);
}

// Values of the built-in scalar and container types have no __await__; asking inspect costs a Python call.
bool may_be_awaitable(nb::handle value) {
    PyObject *o = value.ptr();
    return !(o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
             PyBool_Check(o) || PyDict_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o));
}

// What lives across the one suspension: the method (its globals are read after it) and its arguments.
struct Run {
    nb::object method, self, arguments;
    auto refs() { return std::tie(method, self, arguments); }
};

Coroutine run_tool(Run &c) {
    Frame f(c.method.ptr(), nullptr);
    nb::object result = call_tool_function(f, c.self, c.arguments);
    if (may_be_awaitable(result) && truthy(f.global("inspect").attr("isawaitable")(result)))
        result = co_await std::move(result);
    co_return tool_result(f, c.self, result);
}

}  // namespace

// The arguments were checked by the call itself (exactly a dict); everything else happens when awaited.
nb::object function_tool_run(const Frame &f) {
    return make_coroutine<Run>(f, run_tool, f.function(), f[0], f[1]);
}

}  // namespace corvel::cython

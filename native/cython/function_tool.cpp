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
        for (nb::handle pair : validated_args)
            kwargs[pair[0]] = pair[1];
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

// Up to the call of the tool function: the request context where the function asks for one, the
// arguments validated by the function's cached adapter, the function called with them.
nb::object call_tool_function(nb::handle method, nb::handle self, nb::handle caller_arguments) {
    nb::object context = from_import(method, "fastmcp.server.context", "Context");
    nb::dict arguments = nb::steal<nb::dict>(PyDict_Copy(caller_arguments.ptr()));
    if (!arguments.is_valid())
        raise_from_python();
    nb::object fn = self.attr("fn");
    nb::object context_kwarg = global(method, "find_kwarg_by_type")(fn, "kwarg_type"_a = context);
    if (truthy(context_kwarg) && !arguments.contains(context_kwarg))
        arguments[context_kwarg] = global(method, "get_context")();
    nb::object type_adapter = global(method, "get_cached_typeadapter")(fn);
    nb::object validated_args = type_adapter.attr("validate_python")(arguments);
    nb::dict kwargs = keyword_arguments(validated_args);
    nb::object result = nb::steal(PyObject_Call(fn.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    if (!result.is_valid())
        raise_from_python();
    return result;
}

// After the awaited value: the result as content blocks and structured content. A ToolResult of the
// function's own passes unchanged.
nb::object tool_result(nb::handle method, nb::handle self, nb::handle result) {
    nb::object tool_result_type = global(method, "ToolResult");
    if (corvel::isinstance(result, tool_result_type))
        return nb::borrow(result);
    nb::object convert_to_content = global(method, "_convert_to_content");
    nb::object unstructured_result = convert_to_content(result, "serializer"_a = self.attr("serializer"));
    nb::object structured_output = nb::none();
    nb::object output_schema = self.attr("output_schema");
    if (!output_schema.is_none()) {
        if (truthy(output_schema.attr("get")("x-fastmcp-wrap-result")))
            structured_output = make_dict("result", result);
        else
            structured_output = nb::borrow(result);
    }
    if (structured_output.is_none()) {
        try {
            structured_output = global(method, "pydantic_core").attr("to_jsonable_python")(result);
            if (!corvel::isinstance(structured_output, type_handle(&PyDict_Type)))
                structured_output = nb::none();
        } catch (nb::python_error &e) {
            if (!is_exception(e))
                throw;
            structured_output = nb::none();  // no structured form: content blocks only
        }
    }
    return tool_result_type("content"_a = unstructured_result, "structured_content"_a = structured_output);
}

// What lives across the one suspension: the method (its globals are read after it) and its arguments.
struct Run {
    nb::object method, self, arguments;
    auto refs() { return std::tie(method, self, arguments); }
};

Coroutine run_tool(Run &c) {
    nb::object result = call_tool_function(c.method, c.self, c.arguments);
    if (truthy(global(c.method, "inspect").attr("isawaitable")(result)))
        result = co_await std::move(result);
    co_return tool_result(c.method, c.self, result);
}

}  // namespace

// The arguments were checked by the call itself (exactly a dict); everything else happens when awaited.
nb::object function_tool_run(const Frame &f) {
    return make_coroutine<Run>(f, run_tool, f.function(), f[0], f[1]);
}

}  // namespace corvel::cython

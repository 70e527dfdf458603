// module.cpp: corvel.cython's module body
#include "cython.h"

CORVEL_MODULE(cython, g) {
    using namespace corvel;
    import_module(g, "inspect");
    import_from(g, "functools", {"lru_cache"});
    import_from(g, "typing", {"Any", "get_type_hints", "get_origin", "Annotated", "get_args", "Callable"});
    import_module(g, "pydantic_core");
    {
        QuietDeprecations quiet;
        import_from(g, "fastmcp.server.dependencies", {"get_context"});
        import_from(g, "fastmcp.tools", {"FunctionTool"});
        import_from(g, "fastmcp.tools.tool", {"ToolResult", "default_serializer", "logger"});
        import_from(g, "fastmcp.utilities.types", {"find_kwarg_by_type", "Image", "Audio", "File"});
    }
    import_from(g, "mcp.types", {"ContentBlock", "TextContent"});
    import_from(g, "pydantic", {"BaseModel", "Field", "ConfigDict", "TypeAdapter", "create_model"});
    g["__originals__"] = nb::none();  // what the shortcuts were checked against: filled once the functions exist

    nb::object base_model = g["BaseModel"];
    nb::object model_meta = nb::borrow(type_of(base_model));
    nb::object meta = ClassBuilder(g, "CythonModelMeta", type_of(model_meta), nb::make_tuple(model_meta))
                          .staticmethod({.name = "__new__",
                                         .params = {{"cls"}, {"name"}, {"bases"}, {"namespace"}},
                                         .returns = "type(BaseModel)",
                                         .body = cython::model_meta_new})
                          .build();
    nb::object base = ClassBuilder(g, "CythonBaseModel", meta, nb::make_tuple(base_model)).build();

    // The module-level name is the cache wrapper; the native function is its __wrapped__.
    nb::object adapter_factory = make_function(
        g, {.name = "get_cached_typeadapter",
            .params = {{"fn", "Any"}},
            .returns = "TypeAdapter",
            .body = cython::get_cached_typeadapter,
            .doc = "Get a cached TypeAdapter for a function, compatible with Python and Cython."});
    g["get_cached_typeadapter"] = g["lru_cache"]("maxsize"_a = 5000)(adapter_factory);

    g["_convert_to_content"] = make_function(
        g, {.name = "_convert_to_content",
            .params = {{"result", "Any"},
                       {"serializer", "Callable[[Any], str] | None"},
                       {"_process_as_single_item", "bool", &PyBool_Type}},
            .returns = "list[ContentBlock]",
            .body = cython::convert_to_content,
            .doc = "Convert a result to a sequence of content objects.",
            .defaults = nb::make_tuple(nb::none(), false)});
    cython::set_originals(g["_convert_to_content"]);

    ClassBuilder(g, "CythonFunctionTool", meta, nb::make_tuple(base, g["FunctionTool"]))
        .method({.name = "run",
                 .params = {{"self"}, {"arguments", "dict[str, Any]", &PyDict_Type}},
                 .returns = "ToolResult",
                 .body = cython::function_tool_run,
                 .doc = "Run the tool with arguments.",
                 .kind = Kind::coroutine})
        .build();
}

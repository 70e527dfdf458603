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

    nb::object base_model = g["BaseModel"];
    nb::object model_meta = nb::borrow(type_of(base_model));
    nb::object meta = ClassBuilder(g, "CythonModelMeta", type_of(model_meta), nb::make_tuple(model_meta))
                          .staticmethod({.name = "__new__",
                                         .params = {{"cls"}, {"name"}, {"bases"}, {"namespace"}},
                                         .returns = "type(BaseModel)",
                                         .body = cython::model_meta_new})
                          .build();
    ClassBuilder(g, "CythonBaseModel", meta, nb::make_tuple(base_model)).build();
}

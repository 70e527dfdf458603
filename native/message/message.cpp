// message.cpp: corvel.message, the conversation record and its wire form
#include <corvel/runtime.h>

namespace corvel {
namespace {

// The newest text, merged with the non-text parts (images, video) of the newest multimodal entry.
nb::object merge_with_media(nb::handle contents, nb::handle text) {
    for (Py_ssize_t i = length(contents) - 1; i >= 0; --i) {
        nb::object entry = item(contents, i);
        if (!PyList_Check(entry.ptr()))
            continue;
        nb::list parts;
        for (nb::handle part : entry)
            if (!equal(part["type"], nb::str("text")))
                parts.append(part);
        parts.append(make_dict("type", "text", "text", text));
        return parts;
    }
    return nb::borrow(text);
}

nb::object latest(const Frame &f) {
    nb::handle self = f[0];
    nb::object role = self.attr("role"), tool_calls = self.attr("tool_calls");
    if (truthy(tool_calls))
        return make_dict("role", role, "tool_calls", tool_calls);
    nb::object tool_call_id = self.attr("tool_call_id"), contents = self.attr("contents");
    if (truthy(tool_call_id))
        return make_dict("role", role, "tool_call_id", tool_call_id, "content", last(contents));
    nb::object content = last(contents);
    if (PyUnicode_Check(content.ptr()))
        content = merge_with_media(contents, content);
    return make_dict("role", role, "content", content);
}

nb::object message_bool(const Frame &f) {
    return nb::bool_(length(f[0].attr("contents")) > 0);
}

nb::object message_repr(const Frame &f) {
    return f.global("json").attr("dumps")(f[0].attr("latest"), "ensure_ascii"_a = false);
}

}  // namespace
}  // namespace corvel

CORVEL_MODULE(message, g) {
    using namespace corvel;
    import_module(g, "json");
    import_from(g, "enum", {"StrEnum"});
    import_from(g, "typing", {"Any"});
    import_from(g, "pydantic", {"BaseModel", "Field"});

    nb::object str_enum = g["StrEnum"];
    ClassBuilder role(g, "MessageRole", type_of(str_enum), nb::make_tuple(str_enum));
    for (const char *member : {"system", "user", "assistant", "tool"})
        role.attr(member, nb::str(member));
    role.build();

    nb::object base_model = g["BaseModel"], field = g["Field"];
    nb::handle list = reinterpret_cast<PyObject *>(&PyList_Type);
    ClassBuilder(g, "Message", type_of(base_model), nb::make_tuple(base_model),
                 make_dict("__pydantic_reset_parent_namespace__", false))
        .field("role", "MessageRole")
        .field("contents", "list[str | list[dict[str, Any]]]", field("default_factory"_a = list))
        .field("tool_call_id", "str", nb::str(""))
        .field("tool_calls", "list[dict[str, Any]]", field("default_factory"_a = list))
        .property({.name = "latest", .params = {{"self"}}, .returns = "dict[str, Any]", .body = latest})
        .method({.name = "__bool__", .params = {{"self"}}, .returns = "bool", .body = message_bool})
        .method({.name = "__repr__", .params = {{"self"}}, .returns = "str", .body = message_repr})
        .build();
}

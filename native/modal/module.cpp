// module.cpp: corvel.modal's module body
#include "modal.h"

namespace corvel::modal {
namespace {

nb::object field(nb::handle g, nb::handle factory) { return g["Field"]("default_factory"_a = factory); }

nb::handle type(PyTypeObject *t) { return reinterpret_cast<PyObject *>(t); }

void define_results(nb::handle g) {
    nb::object str_enum = g["StrEnum"], base_model = g["BaseModel"];
    nb::dict pydantic_keywords = make_dict("__pydantic_reset_parent_namespace__", false);

    ClassBuilder status(g, "LLMStatus", type_of(str_enum), nb::make_tuple(str_enum));
    for (const char *member : {"idle", "answer", "reason", "tool_calls", "tool_results"})
        status.attr(member, nb::str(member));
    status.build();

    ClassBuilder(g, "ToolContent", type_of(base_model), nb::make_tuple(base_model), pydantic_keywords)
        .field("name", "str")
        .field("content", "str | dict[str, Any]")
        .build();

    ClassBuilder(g, "LLMResult", type_of(base_model), nb::make_tuple(base_model), pydantic_keywords)
        .field("tool_calls", "dict[str, ToolContent]", field(g, type(&PyDict_Type)))
        .field("tool_results", "dict[str, ToolContent]", field(g, type(&PyDict_Type)))
        .field("reasoning_content", "str", nb::str(""))
        .field("content", "str", nb::str(""))
        .field("status", "LLMStatus", g["LLMStatus"].attr("idle"))
        .method({.name = "__add__",
                 .params = {{"self"}, {"other", "'LLMResult'"}},
                 .returns = "'LLMResult'",
                 .body = result_add})
        .build();

    // What requests cost: the counts every service reports, and the others it may send (cached or
    // reasoning tokens) in `details`.
    nb::object count{nb::int_(0)};
    ClassBuilder(g, "Usage", type_of(base_model), nb::make_tuple(base_model), pydantic_keywords)
        .field("prompt_tokens", "int", count)
        .field("completion_tokens", "int", count)
        .field("total_tokens", "int", count)
        .field("requests", "int", count)
        .field("details", "dict[str, Any]", field(g, type(&PyDict_Type)))
        .method({.name = "__add__",
                 .params = {{"self"}, {"other", "'Usage'"}},
                 .returns = "'Usage'",
                 .body = usage_add})
        .build();
}

void define_client(nb::handle g) {
    nb::object base = g["CythonBaseModel"];
    nb::handle list = type(&PyList_Type);
    Param self{"self"};
    ClassBuilder(g, "LLModal", type_of(base), nb::make_tuple(base))
        .field("section", "str", nb::str("llm"))
        .field("endpoint_url", "str", nb::str(""))
        .field("system_prompt", "str", nb::str(""))
        .field("images", "list[str]", field(g, list))
        .field("video", "list[str]", field(g, list))
        .field("tools", "Tools", field(g, g["Tools"]))
        .field("messages", "list[Message]", field(g, list))
        .field("extra_body", "dict[str, Any]", field(g, type(&PyDict_Type)))
        .field("retry", "bool", nb::bool_(false))
        .field("tool_calls", "list[dict[str, Any]]", field(g, list))
        .field("tool_calls_limit", "int", nb::int_(3))
        .field("_tool_calls_count", "int", nb::int_(0))
        .field("_close", "bool", nb::bool_(false))
        .field("_default", "str", nb::str("The server is busy. Please try again later."))
        // Connect and read time limits of every request, in seconds; None waits forever. Not annotated,
        // so it stays a private attribute without joining the declared fields.
        .attr("_timeout", nb::make_tuple(10, 600))
        // The turn's bookkeeping, private like the above: where the newest streamed call of each index
        // stands, and the failure whose fallback answer this turn has recorded.
        .attr("_tool_index", nb::none())
        .attr("_fallback_for", nb::none())
        // The awaited transport's state: the token of the turn that holds the client, and the connection
        // pool with the event loop it belongs to.
        .attr("_turn", nb::none())
        .attr("_pool", nb::none())
        // What the client's requests cost: all of them, and those of the latest turn (None: nothing yet).
        .attr("_usage", nb::none())
        .attr("_turn_usage", nb::none())
        .method({.name = "_reset", .params = {self}, .returns = "None", .body = reset})
        .property({.name = "stream", .params = {self}, .returns = "bool", .body = stream})
        .property({.name = "_extra_body", .params = {self}, .returns = "dict[str, Any]", .body = extra_body})
        .property({.name = "_headers", .params = {self}, .returns = "dict[str, str]", .body = headers})
        .property({.name = "_body", .params = {self}, .returns = "dict[str, Any]", .body = body})
        .property({.name = "usage", .params = {self}, .returns = "Usage", .body = usage})
        .property({.name = "turn_usage", .params = {self}, .returns = "Usage", .body = turn_usage})
        .property({.name = "messages_latest", .params = {self}, .returns = "list[dict[str, Any]]",
                   .body = messages_latest})
        .method({.name = "message_latest",
                 .params = {self, {"role", "MessageRole"}},
                 .returns = "Message | None",
                 .body = message_latest})
        .method({.name = "add_message",
                 .params = {self, {"role", "MessageRole"}, {"content", "str", &PyUnicode_Type}},
                 .returns = "None",
                 .body = add_message})
        .method({.name = "_add_tool_calls",
                 .params = {self, {"message", "dict[str, Any]", &PyDict_Type}},
                 .returns = "None",
                 .body = add_tool_calls})
        .method({.name = "_message_process",
                 .params = {self, {"message", "dict[str, Any]", &PyDict_Type}},
                 .returns = "dict[str, str]",
                 .body = message_process})
        .staticmethod({.name = "_t_calls_beautify",
                       .params = {{"tool_calls", "list[dict[str, Any]]", &PyList_Type}},
                       .returns = "dict[str, ToolContent]",
                       .body = t_calls_beautify})
        .staticmethod({.name = "_t_results_beautify",
                       .params = {{"tool_calls", "dict[str, ToolContent]", &PyDict_Type},
                                  {"tool_results", "list[Message]", &PyList_Type}},
                       .returns = "dict[str, ToolContent]",
                       .body = t_results_beautify})
        .method({.name = "_response",
                 .params = {self, {"response", "requests.Response"}},
                 .returns = "LLMResult",
                 .body = response})
        .method({.name = "_stream_response",
                 .params = {self, {"response", "requests.Response"}},
                 .returns = "Iterator[LLMResult]",
                 .body = stream_response,
                 .kind = Kind::generator})
        .method({.name = "_tool_calls", .params = {self}, .returns = "list[Message]", .body = tool_calls})
        .method({.name = "_core_call",
                 .params = {self},
                 .returns = "LLMResult | Iterator[LLMResult]",
                 .body = core_call})
        .method({.name = "invoke",
                 .params = {self, {"prompt", "str", &PyUnicode_Type}},
                 .returns = "LLMResult | Iterator[LLMResult]",
                 .body = invoke})
        .method({.name = "_aresponse",
                 .params = {self, {"response", "httpx.Response"}},
                 .returns = "LLMResult",
                 .body = aresponse,
                 .kind = Kind::coroutine})
        .method({.name = "_astream_response",
                 .params = {self, {"response", "httpx.Response"}},
                 .returns = "AsyncIterator[LLMResult]",
                 .body = astream_response,
                 .kind = Kind::async_generator})
        .method({.name = "_atool_calls", .params = {self}, .returns = "list[Message]", .body = atool_calls,
                 .kind = Kind::coroutine})
        .method({.name = "_acore_call",
                 .params = {self},
                 .returns = "LLMResult | AsyncIterator[LLMResult]",
                 .body = acore_call,
                 .kind = Kind::coroutine})
        .method({.name = "ainvoke",
                 .params = {self, {"prompt", "str", &PyUnicode_Type}},
                 .returns = "LLMResult | AsyncIterator[LLMResult]",
                 .body = ainvoke,
                 .kind = Kind::coroutine,
                 .defaults = nb::make_tuple("")})
        .method({.name = "aclose", .params = {self}, .returns = "None", .body = aclose, .kind = Kind::coroutine})
        .method({.name = "__aenter__", .params = {self}, .returns = "'LLModal'", .body = aenter, .kind = Kind::coroutine})
        .method({.name = "__aexit__",
                 .params = {self, {"exc_type"}, {"exc"}, {"traceback"}},
                 .returns = "None",
                 .body = aexit,
                 .kind = Kind::coroutine})
        .build();
}

}  // namespace
}  // namespace corvel::modal

CORVEL_MODULE(modal, g) {
    using namespace corvel;
    import_module(g, "json");
    import_from(g, "enum", {"StrEnum"});
    import_from(g, "typing", {"Any", "Iterator"});
    import_module(g, "requests");
    // The awaited transport.
    import_module(g, "asyncio");
    import_from(g, "typing", {"AsyncIterator"});
    import_module(g, "httpx");
    g["_tls_context"] = nb::none();  // made on first use (transport.cpp)
    import_from(g, "pydantic", {"BaseModel", "Field"});
    import_from(g, "corvel.config", {"Configurator"});
    import_from(g, "corvel.cython", {"CythonBaseModel"});
    import_from(g, "corvel.message", {"Message", "MessageRole"});
    import_from(g, "corvel.tools", {"Tools"});
    import_from(g, "corvel", {"_retry", "_connections"});
    modal::define_results(g);
    modal::define_client(g);
}

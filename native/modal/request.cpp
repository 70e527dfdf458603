// request.cpp: the headers and JSON body of one chat-completions request
#include "modal.h"

namespace corvel::modal {
nb::object extra_body(const Frame &f) {
    nb::handle self = f[0];
    nb::dict options = unpack(self.attr("extra_body"));
    nb::object tools = self.attr("tools");
    if (truthy(tools))
        options.attr("update")(make_dict("tools", tools.attr("schemas"), "parallel_tool_calls", true));
    return options;
}

// The key is read on every request, so a rotated key takes effect at once.
nb::object headers(const Frame &f) {
    nb::handle self = f[0];
    nb::dict headers = make_dict("Content-Type", "application/json");
    nb::object configurator = f.global("Configurator");
    nb::object section = self.attr("section");
    if (truthy(configurator.attr("has_option")(section, "api_key"))) {
        nb::object key = configurator.attr("get")(section, "api_key");
        headers.attr("update")(make_dict("Authorization", nb::str("Bearer ") + format(key)));
    }
    return headers;
}

nb::object body(const Frame &f) {
    nb::handle self = f[0];
    nb::dict body = make_dict("messages", self.attr("messages_latest"));
    if (PyDict_Update(body.ptr(), self.attr("_extra_body").ptr()) < 0)
        raise_from_python();
    return body;
}

// Under retry the turn is asked again: everything after the newest user message is left out.
nb::object messages_latest(const Frame &f) {
    nb::handle self = f[0];
    nb::object conversation = self.attr("messages");
    nb::list messages;
    for (nb::handle message : conversation)
        messages.append(message.attr("latest"));
    if (truthy(self.attr("retry"))) {
        nb::object user = f.global("MessageRole").attr("user");
        Py_ssize_t n = length(conversation);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (equal(item(conversation, n - 1 - i).attr("role"), user)) {
                messages = nb::steal<nb::list>(PyList_GetSlice(messages.ptr(), 0, length(messages) - i));
                break;
            }
        }
    }
    return messages;
}

nb::object message_latest(const Frame &f) {
    nb::handle self = f[0], role = f[1];
    nb::object newest_first = nb::steal(PySequence_List(self.attr("messages").ptr()));
    if (!newest_first.is_valid())
        raise_from_python();
    newest_first.attr("reverse")();
    for (nb::handle message : newest_first)
        if (equal(message.attr("role"), role) && truthy(message))
            return nb::borrow(message);
    return nb::none();
}

}  // namespace corvel::modal

// request.cpp: the headers and JSON body of one chat-completions request
#include "modal.h"

#include <algorithm>

namespace corvel::modal {
nb::object extra_body(const Frame &f) {
    nb::handle self = f[0];
    nb::dict options = unpack(self.attr("extra_body"));
    nb::object tools = self.attr("tools");
    if (truthy(tools))
        options.attr("update")(make_dict("tools", tools.attr("schemas"), "parallel_tool_calls", true));
    return options;
}

namespace {

// A control character in a key (an inner newline from a badly pasted value) makes the HTTP library refuse
// the header with an error that quotes it; the key is refused here instead, without being shown.
void check_key(nb::handle section, nb::handle key) {
    nb::str text = nb::borrow<nb::str>(key);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
        if (c < 0x20 || (c >= 0x7f && c < 0xa0))
            raise(PyExc_ValueError, "the option api_key of section %R holds a control character", section.ptr());
    }
}

}  // namespace

// The key is read on every request, so a rotated key takes effect at once.
nb::object headers(const Frame &f) {
    nb::handle self = f[0];
    nb::dict headers = make_dict("Content-Type", "application/json");
    nb::object configurator = f.global("Configurator");
    nb::object section = self.attr("section");
    if (truthy(configurator.attr("has_option")(section, "api_key"))) {
        // Surrounding whitespace is never part of a key (a "\r" from a file saved on Windows); sent as it is,
        // requests refuses the header with an error that quotes the key.
        nb::object key = format(configurator.attr("get")(section, "api_key")).attr("strip")();
        check_key(section, key);
        headers.attr("update")(make_dict("Authorization", nb::str("Bearer ") + key));
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

// Walks the conversation from the newest record without copying it: a streamed answer asks for every
// fragment, and a copy would make each fragment cost time in proportion to the conversation's length.
nb::object message_latest(const Frame &f) {
    nb::handle self = f[0], role = f[1];
    nb::object messages = self.attr("messages");
    for (Py_ssize_t i = length(messages) - 1; i >= 0; i = std::min(i - 1, length(messages) - 1)) {
        nb::object message = item(messages, i);
        if (equal(message.attr("role"), role) && truthy(message))
            return message;
    }
    return nb::none();
}

}  // namespace corvel::modal

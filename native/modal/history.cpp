// history.cpp: recording a turn in the conversation
#include "modal.h"

namespace corvel::modal {
namespace {

constexpr const char *data_prefix = "data:image;base64,";

nb::object data_url(nb::handle element) { return nb::str(data_prefix) + format(element); }

// The pending pictures, then the video, then the text: the parts of one multimodal user entry.
nb::list media_entry(nb::handle self, nb::handle content) {
    nb::list parts;
    nb::object images = self.attr("images"), video = self.attr("video");
    for (nb::handle image : images)
        parts.append(make_dict("type", "image_url", "image_url", data_url(image)));
    images.attr("clear")();
    if (truthy(video)) {
        nb::list frames;
        for (nb::handle frame : video)
            frames.append(data_url(frame));
        parts.append(make_dict("type", "video", "video", frames));
        video.attr("clear")();
    }
    if (length(content) > 0)
        parts.append(make_dict("type", "text", "text", content));
    return parts;
}

// Joins a streamed fragment onto the last entry. The entry is taken out of its list while it grows, so
// that it has no other owner and CPython can extend it in place: a long answer then costs time linear
// in its length, where building a new string for every fragment would copy all the text so far.
void join_onto_last_entry(nb::handle contents, nb::handle fragment) {
    Py_ssize_t n = PyList_CheckExact(contents.ptr()) ? PyList_GET_SIZE(contents.ptr()) : 0;
    PyObject *entry = n ? PyList_GET_ITEM(contents.ptr(), n - 1) : nullptr;
    if (!entry || !PyUnicode_CheckExact(entry) || !PyUnicode_CheckExact(fragment.ptr())) {
        contents[nb::int_(-1)] = item(contents, -1) + fragment;  // whatever `+` means for these types
        return;
    }
    PyList_SET_ITEM(contents.ptr(), n - 1, Py_NewRef(Py_None));
    PyUnicode_Append(&entry, fragment.ptr());
    if (!entry) {  // out of memory: the entry is lost to the failed append, leave a text in its place
        PyList_SET_ITEM(contents.ptr(), n - 1, PyUnicode_New(0, 0));
        Py_DECREF(Py_None);
        raise_from_python();
    }
    PyList_SET_ITEM(contents.ptr(), n - 1, entry);
    Py_DECREF(Py_None);
}

nb::object new_message(const Frame &f, nb::handle role, nb::handle entry) {
    nb::list contents;
    contents.append(entry);
    return f.global("Message")("role"_a = role, "contents"_a = contents);
}

}  // namespace

nb::object add_message(const Frame &f) {
    nb::handle self = f[0], role = f[1], content = f[2];
    nb::object latest = self.attr("message_latest")("role"_a = role);
    nb::object roles = f.global("MessageRole");
    bool user = equal(role, roles.attr("user")), assistant = !user && equal(role, roles.attr("assistant"));
    bool has_latest = !latest.is_none();

    if (user && (truthy(self.attr("images")) || truthy(self.attr("video")))) {
        nb::list entry = media_entry(self, content);
        if (truthy(self.attr("retry")) && has_latest)
            latest.attr("contents").attr("append")(entry);
        else
            self.attr("messages").attr("append")(new_message(f, role, entry));
    } else if ((user || assistant) && has_latest && truthy(self.attr("retry"))) {
        // A retried turn becomes a new entry of the same record; the wire form sends only the newest.
        latest.attr("contents").attr("append")(content);
        if (assistant)
            self.attr("retry") = false;
    } else if (assistant && has_latest && [&] {
                   nb::object last = item(self.attr("messages"), -1);
                   return last.is(latest) || equal(last, latest);
               }()) {
        join_onto_last_entry(latest.attr("contents"), content);
    } else {
        self.attr("messages").attr("append")(new_message(f, role, content));
    }
    return nb::none();
}

}  // namespace corvel::modal

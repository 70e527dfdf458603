// modal.h: the method bodies of corvel.modal, one file per concern
#pragma once

#include <corvel/runtime.h>

namespace corvel::modal {

// results.cpp
nb::object result_add(const Frame &f);

// client.cpp
nb::object reset(const Frame &f);
nb::object stream(const Frame &f);

// request.cpp
nb::object extra_body(const Frame &f);
nb::object headers(const Frame &f);
nb::object body(const Frame &f);
nb::object messages_latest(const Frame &f);
nb::object message_latest(const Frame &f);

// history.cpp
nb::object add_message(const Frame &f);

}  // namespace corvel::modal

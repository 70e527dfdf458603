// usage.cpp: what requests cost in tokens, as services report it and as a client sums it
#include "modal.h"

namespace corvel::modal {
namespace {

// Reported details (cached or reasoning tokens) nest in mappings. They are merged this deep and taken as
// they are below: a service may nest as deep as the JSON decoder goes, and counting must never fail a turn.
constexpr int merged_depth = 8;

bool is_number(nb::handle value) noexcept {
    return (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) || PyFloat_Check(value.ptr());
}

// A token count: a whole number, not negative (a bool is no count, though Python takes it for one).
bool is_count(nb::handle value) noexcept {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    return overflow > 0 || (overflow == 0 && n >= 0);  // no error is possible for an int
}

// The counts every service reports, which have fields of their own; any other key is a detail.
bool is_main_count(nb::handle key) noexcept {
    if (!PyUnicode_Check(key.ptr()))
        return false;
    for (const char *name : {"prompt_tokens", "completion_tokens", "total_tokens"})
        if (PyUnicode_CompareWithASCIIString(key.ptr(), name) == 0)
            return true;
    return false;
}

nb::dict merge(nb::handle left, nb::handle right, int depth);

// A mapping is copied level by level, so that a sum shares no dictionary with what was added up.
nb::object copy_of(nb::handle value, int depth) {
    if (PyDict_Check(value.ptr()) && depth < merged_depth)
        return merge(value, nb::dict(), depth + 1);
    return nb::borrow(value);
}

// Numbers on both sides are added, mappings on both sides merged alike; otherwise the right side's value
// stands, as the newer report.
nb::object combine(nb::handle left, nb::handle right, int depth) {
    if (is_number(left) && is_number(right))
        return left + right;
    if (PyDict_Check(left.ptr()) && PyDict_Check(right.ptr()) && depth < merged_depth)
        return merge(left, right, depth + 1);
    return copy_of(right, depth);
}

// A new dict with the left side's keys, then the right side's new ones, each combined where both have it.
nb::dict merge(nb::handle left, nb::handle right, int depth) {
    nb::dict merged;
    for (auto [key, value] : nb::borrow<nb::dict>(left))
        merged[key] = copy_of(value, depth);
    for (auto [key, value] : nb::borrow<nb::dict>(right)) {
        PyObject *mine = PyDict_GetItemWithError(merged.ptr(), key.ptr());  // borrowed
        if (!mine && PyErr_Occurred())
            raise_from_python();
        merged[key] = mine ? combine(mine, value, depth) : copy_of(value, depth);
    }
    return merged;
}

nb::object make_usage(nb::handle function, nb::handle fields) {
    nb::object usage = nb::steal(PyObject_Call(global(function, "Usage").ptr(), nb::tuple().ptr(), fields.ptr()));
    if (!usage.is_valid())
        raise_from_python();
    return usage;
}

// The sum kept in one of the client's private attributes, or nothing counted yet.
nb::object kept_sum(const Frame &f, nb::handle kept) {
    return kept.is_none() ? make_usage(f.function(), nb::dict()) : nb::borrow(kept);
}

}  // namespace

// Field by field; details key by key. Anything but a Usage is left to the other operand.
nb::object usage_add(const Frame &f) {
    nb::handle self = f[0], other = f[1];
    if (!corvel::isinstance(other, f.global("Usage")))
        return nb::borrow(Py_NotImplemented);
    nb::dict fields;
    for (const char *name : {"prompt_tokens", "completion_tokens", "total_tokens", "requests"})
        fields[name] = self.attr(name) + other.attr(name);
    fields["details"] = merge(unpack(self.attr("details")), unpack(other.attr("details")), 0);
    return make_usage(f.function(), fields);
}

nb::object usage(const Frame &f) { return kept_sum(f, private_attr(f[0], "_usage")); }
nb::object turn_usage(const Frame &f) { return kept_sum(f, private_attr(f[0], "_turn_usage")); }

nb::object reported_usage(nb::handle body) {
    return PyDict_Check(body.ptr()) ? get(body, "usage") : nb::none();
}

// An answer without usage adds nothing, and neither does a malformed report: the answer is not at fault
// for what its bill looks like. The sums are replaced, never changed in place, so a caller holding one
// keeps what it read.
void count_usage(nb::handle function, nb::handle self, nb::handle reported) {
    if (!PyDict_Check(reported.ptr()))
        return;
    nb::dict fields = make_dict("requests", 1), details;
    for (auto [key, value] : nb::borrow<nb::dict>(reported)) {
        if (!is_main_count(key))
            details[key] = value;
        else if (is_count(value))
            fields[key] = value;
        else
            return;
    }
    fields["details"] = merge(details, nb::dict(), 0);
    nb::object cost = make_usage(function, fields);
    nb::object all = private_attr(self, "_usage"), turn = private_attr(self, "_turn_usage");
    self.attr("_usage") = all.is_none() ? cost : all + cost;
    self.attr("_turn_usage") = turn.is_none() ? cost : turn + cost;
}

}  // namespace corvel::modal

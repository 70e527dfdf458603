// corvel/function.h: native functions that Python's class machinery reads like its own
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace corvel {
namespace nb = nanobind;

class Frame;

// A method body: receives the bound arguments and the function's globals, returns the result.
using Body = nb::object (*)(const Frame &);

enum class Kind { plain, generator, coroutine, async_generator };

struct Param {
    const char *name;
    const char *annotation = nullptr;  // annotation text, or none
    PyTypeObject *exact = nullptr;     // when set, the argument must be exactly this type
};

struct FunctionDef {
    const char *name;
    std::vector<Param> params;
    const char *returns = nullptr;  // return annotation text, or none
    Body body = nullptr;
    const char *doc = nullptr;
    Kind kind = Kind::plain;
    nb::object defaults = nb::none();  // tuple for the trailing parameters, or None
    std::string qualname = {};         // filled from the class by the class builder when empty
};

// Makes a function object whose module, globals and code object come from `globals`.
nb::object make_function(nb::handle globals, FunctionDef def);

// Sets the class a function belongs to (what `super()` needs); the class builder calls it.
void set_owner(nb::handle function, nb::handle owner);

// Whether `obj` is a function made by make_function (in this extension module).
bool is_function(nb::handle obj) noexcept;

// One call of a native function: its bound arguments and its definition environment.
class Frame {
public:
    Frame(PyObject *function, PyObject *const *args) noexcept : function_(function), args_(args) {}

    nb::handle operator[](size_t i) const noexcept { return args_[i]; }

    // A module global as it is bound now (builtins as a fallback), or NameError.
    nb::object global(nb::detail::str_key name) const;
    // The class the function was defined in.
    nb::handle owner() const noexcept;
    nb::handle function() const noexcept { return function_; }

private:
    PyObject *function_;
    PyObject *const *args_;
};

}  // namespace corvel

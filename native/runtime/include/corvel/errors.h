// corvel/errors.h: raising Python exceptions from C++ and telling them apart
#pragma once

#include <nanobind/nanobind.h>

namespace corvel {
namespace nb = nanobind;

// Sets the Python error and throws it as nb::python_error, so that one catch at the boundary restores it.
[[noreturn]] void raise(PyObject *type, const char *format, ...);
[[noreturn]] void raise_from_python();  // the error already set by a failed C-API call
// Raises this very exception object again, with its traceback and unchained: what `raise exc` does for
// an exception caught earlier, in a body that had to await something before re-raising it.
[[noreturn]] void reraise(nb::handle exc);

// The error for an argument of the wrong exact type, in the wording of typed native arguments.
[[noreturn]] void raise_argument_type(const char *name, PyTypeObject *expected, nb::handle got);

// Requires `value` to be exactly `expected` (subclasses and None refused), as typed parameters do.
void check_exact(const char *name, nb::handle value, PyTypeObject *expected);

// "Expected list, got int": for values produced inside an algorithm rather than passed in.
void expect_exact(nb::handle value, PyTypeObject *expected);

// True when the caught error is an ordinary Exception (not KeyboardInterrupt, SystemExit, GeneratorExit).
inline bool is_exception(const nb::python_error &e) noexcept { return e.matches(PyExc_Exception); }

// Turns whatever a C++ body threw into the pending Python error. Call only inside a catch block.
void translate_current_exception() noexcept;

}  // namespace corvel

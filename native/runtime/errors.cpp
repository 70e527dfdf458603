// errors.cpp: raising Python exceptions from C++, and the one translation at the boundary
#include "corvel/errors.h"

#include <cstdarg>
#include <new>

namespace corvel {

void raise_from_python() {
    throw nb::python_error();
}

void reraise(nb::handle exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_NewRef(exc.ptr()));
#else
    PyErr_Restore(Py_NewRef(Py_TYPE(exc.ptr())), Py_NewRef(exc.ptr()), PyException_GetTraceback(exc.ptr()));
#endif
    throw nb::python_error();
}

void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

void raise_argument_type(const char *name, PyTypeObject *expected, nb::handle got) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
          expected->tp_name, Py_TYPE(got.ptr())->tp_name);
}

void check_exact(const char *name, nb::handle value, PyTypeObject *expected) {
    if (Py_TYPE(value.ptr()) != expected)
        raise_argument_type(name, expected, value);
}

void expect_exact(nb::handle value, PyTypeObject *expected) {
    if (Py_TYPE(value.ptr()) != expected)
        raise(PyExc_TypeError, "Expected %s, got %.200s", expected->tp_name, Py_TYPE(value.ptr())->tp_name);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        // nanobind's own conversions signal through these; map the ones it uses.
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "a value could not be converted to the type the algorithm needs");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace corvel

// body.cpp: the frame side of a coroutine body (resumption, delegation, the exception that ends it)
#include "body.h"

#include "corvel/errors.h"

namespace corvel {
namespace detail {

nb::object take_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
#endif
}

void restore_error(nb::object exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release().ptr());
#else
    PyObject *value = exc.release().ptr();
    PyErr_Restore(Py_NewRef(Py_TYPE(value)), value, PyException_GetTraceback(value));
#endif
}

namespace {

const char *stop_iteration_text(nb::handle exc, BodyKind kind) noexcept {
    bool stop = PyErr_GivenExceptionMatches(exc.ptr(), PyExc_StopIteration);
    switch (kind) {
        case BodyKind::generator: return stop ? "generator raised StopIteration" : nullptr;
        case BodyKind::coroutine: return stop ? "coroutine raised StopIteration" : nullptr;
        case BodyKind::async_generator:
            if (stop)
                return "async generator raised StopIteration";
            if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_StopAsyncIteration))
                return "async generator raised StopAsyncIteration";
    }
    return nullptr;
}

}  // namespace

nb::object stop_iteration_error(nb::object exc, BodyKind kind) noexcept {
    const char *text = stop_iteration_text(exc, kind);
    if (!text)
        return exc;
    nb::object error = nb::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", text));
    if (!error.is_valid())
        return take_error();
    PyException_SetCause(error.ptr(), Py_NewRef(exc.ptr()));
    PyException_SetContext(error.ptr(), exc.release().ptr());
    return error;
}

void PromiseBase::unhandled_exception() noexcept {
    translate_current_exception();
    error = stop_iteration_error(take_error(), kind);
}

nb::object PromiseBase::resumed() {
    if (thrown.is_valid()) {
        restore_error(std::move(thrown));
        throw nb::python_error();
    }
    return std::move(value);
}

// The first step of `yield from`/`await` runs inside the body; later steps are driven by the object's
// send/throw/close, which find the iterator in `delegate` and resume the body only once it has finished.
bool PromiseBase::start_delegate(nb::object source) {
    nb::object iterator = kind == BodyKind::generator ? nb::steal(PyObject_GetIter(source.ptr()))
                                                      : awaitable_iter(source);
    if (!iterator.is_valid())
        raise_from_python();
    PyObject *out;
    switch (PyIter_Send(iterator.ptr(), Py_None, &out)) {
        case PYGEN_RETURN: value = nb::steal(out); return true;
        case PYGEN_NEXT:
            value = nb::steal(out);
            delegate = std::move(iterator);
            return false;
        default: raise_from_python();
    }
}

}  // namespace detail

nb::object next(nb::handle iterator) {
    nb::object item = nb::steal(PyIter_Next(iterator.ptr()));
    if (!item.is_valid() && PyErr_Occurred())
        raise_from_python();
    return item;
}

nb::object global(nb::handle function, nb::detail::str_key name) {
    if (!is_function(function))
        raise(PyExc_TypeError, "global() needs a native function, not %.200s", Py_TYPE(function.ptr())->tp_name);
    return Frame(function.ptr(), nullptr).global(name);
}

}  // namespace corvel

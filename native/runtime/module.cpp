// module.cpp: the import statements of a native module body
#include "corvel/errors.h"
#include "corvel/module.h"
#include "corvel/ops.h"

#include <string>

namespace corvel {

nb::object import_module(nb::handle globals, const char *name) {
    nb::object module = nb::steal(PyImport_ImportModule(name));
    if (!module.is_valid())
        raise_from_python();
    std::string top(name);
    top = top.substr(0, top.find('.'));
    nb::object bound = nb::steal(PyImport_ImportModule(top.c_str()));
    if (!bound.is_valid())
        raise_from_python();
    if (PyDict_SetItemString(globals.ptr(), top.c_str(), bound.ptr()) < 0)
        raise_from_python();
    return module;
}

void import_from(nb::handle globals, const char *module, std::initializer_list<const char *> names) {
    nb::object fromlist = nb::steal(PyList_New(0));
    for (const char *name : names)
        nb::borrow<nb::list>(fromlist).append(nb::str(name));
    nb::object imported = nb::steal(PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), 0));
    if (!imported.is_valid())
        raise_from_python();
    for (const char *name : names) {
        // `from m import x` falls back to the submodule m.x, as the import statement does.
        nb::object value = nb::steal(PyObject_GetAttrString(imported.ptr(), name));
        if (!value.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                raise_from_python();
            PyErr_Clear();
            std::string full = std::string(module) + "." + name;
            value = nb::steal(PyImport_ImportModule(full.c_str()));
            if (!value.is_valid()) {
                PyErr_Clear();
                raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
            }
        }
        if (PyDict_SetItemString(globals.ptr(), name, value.ptr()) < 0)
            raise_from_python();
    }
}

// Recording rather than filtering: a dependency may install an "always" filter for its own warning class
// while it is imported, which would win over any filter set beforehand.
QuietDeprecations::QuietDeprecations() {
    context_ = nb::module_::import_("warnings").attr("catch_warnings")("record"_a = true);
    recorded_ = context_.attr("__enter__")();
    nb::module_::import_("warnings").attr("simplefilter")("default");
}

QuietDeprecations::~QuietDeprecations() {
    try {
        context_.attr("__exit__")(nb::none(), nb::none(), nb::none());
        nb::object warn_explicit = nb::module_::import_("warnings").attr("warn_explicit");
        for (nb::handle w : recorded_) {
            if (PyErr_GivenExceptionMatches(w.attr("category").ptr(), PyExc_DeprecationWarning))
                continue;
            warn_explicit(w.attr("message"), w.attr("category"), w.attr("filename"), w.attr("lineno"));
        }
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("restoring the warning filters");
    }
}

}  // namespace corvel

// function.cpp: the native function type (metadata, code object, binding, calls)
#include "corvel/errors.h"
#include "corvel/function.h"
#include "recursion.h"

#include <cstddef>
#include <memory>
#include <string>
#include <structmember.h>

namespace corvel {
namespace {

// Python functions keep their metadata in plain attributes; so do these, so that inspect, typing and
// pydantic read them unchanged. The C++ side of a definition (body, exact types) sits beside them.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *defaults;
    PyObject *kwdefaults;
    PyObject *globals;
    PyObject *dict;
    PyObject *code;
    PyObject *varnames;  // parameter names, interned: keyword arguments are matched against them
    PyObject *owner;     // the defining class, once the class exists
    PyObject *weakrefs;
    Body body;
    Py_ssize_t argcount;
    std::vector<Param> *params;
};

FunctionObject *as_function(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

extern PyTypeObject function_type;

// Python's wording for argument errors, so native methods fail exactly as Python ones do.
[[noreturn]] void raise_missing(FunctionObject *f, const std::vector<Py_ssize_t> &missing) {
    nb::str names = nb::steal<nb::str>(PyUnicode_FromString(""));
    size_t n = missing.size();
    for (size_t i = 0; i < n; ++i) {
        nb::handle name = PyTuple_GET_ITEM(f->varnames, missing[i]);
        const char *sep = i == 0 ? "" : (n == 2 ? " and " : (i + 1 == n ? ", and " : ", "));
        names = nb::steal<nb::str>(PyUnicode_FromFormat("%U%s'%U'", names.ptr(), sep, name.ptr()));
    }
    raise(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, (Py_ssize_t) n,
          n == 1 ? "" : "s", names.ptr());
}

[[noreturn]] void raise_too_many(FunctionObject *f, Py_ssize_t given, Py_ssize_t ndefaults) {
    Py_ssize_t most = f->argcount, least = most - ndefaults;
    const char *plural = most == 1 ? "" : "s", *verb = given == 1 ? "was" : "were";
    if (least < most)
        raise(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given", f->qualname,
              least, most, given, verb);
    raise(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname, most, plural,
          given, verb);
}

Py_ssize_t param_index(FunctionObject *f, PyObject *keyword) {
    for (Py_ssize_t i = 0; i < f->argcount; ++i)
        if (PyTuple_GET_ITEM(f->varnames, i) == keyword)
            return i;
    for (Py_ssize_t i = 0; i < f->argcount; ++i) {
        int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->varnames, i), keyword);
        if (eq == 0)
            return i;
        if (eq == -1 && PyErr_Occurred())
            raise_from_python();
    }
    return -1;
}

// Binds positional and keyword arguments to the parameter slots; defaults are read now, as Python does.
// Not inlined: its locals would otherwise stay on the stack for as long as the body runs, and a tool loop
// nests bodies hundreds deep.
[[gnu::noinline]] void bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                            PyObject **slots) {
    PyObject *defaults = f->defaults;
    Py_ssize_t ndefaults = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    if (nargs > f->argcount)
        raise_too_many(f, nargs, ndefaults);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = param_index(f, keyword);
        if (i < 0)
            raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
        if (slots[i])
            raise(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
        slots[i] = args[nargs + k];
    }
    std::vector<Py_ssize_t> missing;
    Py_ssize_t first_default = f->argcount - ndefaults;
    for (Py_ssize_t i = 0; i < f->argcount; ++i) {
        if (slots[i])
            continue;
        if (i >= first_default)
            slots[i] = PyTuple_GET_ITEM(defaults, i - first_default);
        else
            missing.push_back(i);
    }
    if (!missing.empty())
        raise_missing(f, missing);
}

[[gnu::noinline]] void check_types(FunctionObject *f, PyObject *const *slots) {
    for (Py_ssize_t i = 0; i < f->argcount; ++i) {
        const Param &p = (*f->params)[(size_t) i];
        if (p.exact)
            check_exact(p.name, slots[i], p.exact);
    }
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    detail::RecursionGuard guard;
    if (!guard)
        return nullptr;
    FunctionObject *f = as_function(self);
    // Enough for every method of the modules; small, since it stays on the stack while the body runs.
    constexpr Py_ssize_t small = 4;
    PyObject *stack[small] = {};
    std::unique_ptr<PyObject *[]> heap;
    PyObject **slots = stack;
    // A body may replace __defaults__ while it runs; the tuple whose items are bound must outlive the call.
    nb::object defaults = nb::borrow(f->defaults);
    try {
        if (f->argcount > small) {
            heap = std::make_unique<PyObject *[]>((size_t) f->argcount);
            slots = heap.get();
        }
        bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
        check_types(f, slots);
        nb::object result = f->body(Frame(self, slots));
        return result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    Py_VISIT(f->varnames);
    Py_VISIT(f->owner);
    return 0;
}

int function_clear(PyObject *self) noexcept {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->owner);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->params;
    f->params = nullptr;
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<native function %U at %p>", as_function(self)->qualname, self);
}

// Setters keep the types Python's own functions insist on, since inspect and pydantic rely on them.
int set_text(PyObject **slot, PyObject *value, const char *what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_optional(PyObject **slot, PyObject *value, int (*check)(PyObject *), const char *type,
                 const char *what) noexcept {
    if (value == nullptr || value == Py_None) {
        Py_XSETREF(*slot, Py_NewRef(Py_None));
        return 0;
    }
    if (!check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", what, type);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int tuple_check(PyObject *o) { return PyTuple_Check(o); }
int dict_check(PyObject *o) { return PyDict_Check(o); }

#define CORVEL_GETTER(field)                                                                            \
    [](PyObject *self, void *) noexcept -> PyObject * { return Py_NewRef(as_function(self)->field); }

PyGetSetDef function_getset[] = {
    {"__name__", CORVEL_GETTER(name),
     [](PyObject *self, PyObject *v, void *) noexcept { return set_text(&as_function(self)->name, v, "__name__"); },
     nullptr, nullptr},
    {"__qualname__", CORVEL_GETTER(qualname),
     [](PyObject *self, PyObject *v, void *) noexcept {
         return set_text(&as_function(self)->qualname, v, "__qualname__");
     },
     nullptr, nullptr},
    {"__defaults__", CORVEL_GETTER(defaults),
     [](PyObject *self, PyObject *v, void *) noexcept {
         return set_optional(&as_function(self)->defaults, v, tuple_check, "tuple", "__defaults__");
     },
     nullptr, nullptr},
    {"__kwdefaults__", CORVEL_GETTER(kwdefaults),
     [](PyObject *self, PyObject *v, void *) noexcept {
         return set_optional(&as_function(self)->kwdefaults, v, dict_check, "dict", "__kwdefaults__");
     },
     nullptr, nullptr},
    {"__annotations__",
     [](PyObject *self, void *) noexcept -> PyObject * {
         FunctionObject *f = as_function(self);
         if (f->annotations == Py_None) {
             PyObject *fresh = PyDict_New();
             if (!fresh)
                 return nullptr;
             Py_SETREF(f->annotations, fresh);
         }
         return Py_NewRef(f->annotations);
     },
     [](PyObject *self, PyObject *v, void *) noexcept {
         if (v && v != Py_None && !PyDict_Check(v)) {
             PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
             return -1;
         }
         Py_XSETREF(as_function(self)->annotations, v && v != Py_None ? Py_NewRef(v) : PyDict_New());
         return 0;
     },
     nullptr, nullptr},
    {"__code__", CORVEL_GETTER(code), nullptr, nullptr, nullptr},
    {"__globals__", CORVEL_GETTER(globals), nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled by reference, as Python functions are: the qualified name, which pickle looks up in __module__.
PyMethodDef function_methods[] = {
    {"__reduce__", [](PyObject *self, PyObject *) noexcept { return Py_NewRef(as_function(self)->qualname); },
     METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1);
    t.tp_name = "corvel.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of corvel's native modules.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

PyTypeObject *ready_type() {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&function_type) < 0)
        raise_from_python();
    return &function_type;
}

nb::str text(const char *s) { return nb::str(s); }

// A real code object, so that inspect.signature and iscoroutinefunction read the parameters and flags.
nb::object make_code(nb::handle globals, const FunctionDef &def, nb::handle varnames) {
    nb::object file = nb::borrow(PyDict_GetItemString(globals.ptr(), "__file__"));
    if (!file.is_valid())
        file = nb::borrow(PyDict_GetItemString(globals.ptr(), "__name__"));
    nb::object empty = nb::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty(nb::str(file).c_str(), def.name, 0)));
    if (!empty.is_valid())
        raise_from_python();
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (def.kind == Kind::generator)
        flags |= CO_GENERATOR;
    else if (def.kind == Kind::coroutine)
        flags |= CO_COROUTINE;
    else if (def.kind == Kind::async_generator)
        flags |= CO_ASYNC_GENERATOR;
    Py_ssize_t n = (Py_ssize_t) def.params.size();
    nb::object replace = empty.attr("replace");
    nb::dict kw;
    kw["co_argcount"] = n;
    kw["co_posonlyargcount"] = 0;
    kw["co_kwonlyargcount"] = 0;
    kw["co_varnames"] = varnames;
    kw["co_nlocals"] = n;
    kw["co_flags"] = flags;
    kw["co_qualname"] = text(def.qualname.c_str());
    return nb::steal(PyObject_Call(replace.ptr(), nb::tuple().ptr(), kw.ptr()));
}

}  // namespace

nb::object make_function(nb::handle globals, FunctionDef def) {
    PyTypeObject *type = ready_type();
    if (def.qualname.empty())
        def.qualname = def.name;
    nb::list names;
    nb::dict annotations;
    for (const Param &p : def.params) {
        nb::object name = nb::steal(PyUnicode_InternFromString(p.name));
        names.append(name);
        if (p.annotation)
            annotations[name] = text(p.annotation);
    }
    if (def.returns)
        annotations["return"] = text(def.returns);
    nb::tuple varnames = nb::tuple(names);
    nb::object code = make_code(globals, def, varnames);
    if (!code.is_valid())
        raise_from_python();
    auto params = std::make_unique<std::vector<Param>>(std::move(def.params));

    FunctionObject *f = PyObject_GC_New(FunctionObject, type);
    if (!f)
        raise_from_python();
    f->vectorcall = function_vectorcall;
    f->name = nb::steal(PyUnicode_InternFromString(def.name)).release().ptr();
    f->qualname = text(def.qualname.c_str()).release().ptr();
    f->module = Py_XNewRef(PyDict_GetItemString(globals.ptr(), "__name__"));
    if (!f->module)
        f->module = Py_NewRef(Py_None);
    f->doc = def.doc ? text(def.doc).release().ptr() : Py_NewRef(Py_None);
    f->annotations = annotations.release().ptr();
    f->defaults = def.defaults.release().ptr();
    f->kwdefaults = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals.ptr());
    f->dict = nullptr;
    f->code = code.release().ptr();
    f->varnames = varnames.release().ptr();
    f->owner = nullptr;
    f->weakrefs = nullptr;
    f->body = def.body;
    f->argcount = (Py_ssize_t) params->size();
    f->params = params.release();
    PyObject_GC_Track(f);
    return nb::steal(reinterpret_cast<PyObject *>(f));
}

void set_owner(nb::handle function, nb::handle owner) {
    FunctionObject *f = as_function(function.ptr());
    Py_XSETREF(f->owner, Py_NewRef(owner.ptr()));
}

bool is_function(nb::handle obj) noexcept { return Py_TYPE(obj.ptr()) == &function_type; }

// The name's str comes from nanobind's cache of literals, so a lookup allocates nothing and hashes nothing.
nb::object Frame::global(nb::detail::str_key name) const {
    FunctionObject *f = as_function(function_);
    nb::detail::cached_name key(name);
    if (!key.value)
        raise_from_python();
    PyObject *value = PyDict_GetItemWithError(f->globals, key.value);
    if (!value && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins();
        value = builtins ? PyDict_GetItemWithError(builtins, key.value) : nullptr;
    }
    if (!value && !PyErr_Occurred())
        raise(PyExc_NameError, "name '%U' is not defined", key.value);
    if (!value)
        raise_from_python();
    return nb::borrow(value);
}

nb::handle Frame::owner() const noexcept { return as_function(function_)->owner; }

}  // namespace corvel

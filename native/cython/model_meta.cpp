// model_meta.cpp: the metaclass that lets pydantic models carry native methods
#include "cython.h"

#include <frameobject.h>

namespace corvel::cython {
namespace {

bool is_descriptor_wrapper(nb::handle attr) {
    return PyObject_TypeCheck(attr.ptr(), &PyProperty_Type) || PyObject_TypeCheck(attr.ptr(), &PyClassMethod_Type) ||
           PyObject_TypeCheck(attr.ptr(), &PyStaticMethod_Type);
}

// pydantic resolves the annotations of a class defined inside a function against that function's locals,
// which it finds two frames above its own __new__. A native __new__ adds no frame, so pydantic would look
// one frame too far: the locals are taken here, from the frame that runs the class statement. A class made
// by other means (a native module body, say) has no such frame and gets none.
nb::object parent_namespace(nb::handle namespace_) {
    PyFrameObject *frame = PyEval_GetFrame();
    if (!frame)
        return nb::none();
    nb::object back = nb::steal(reinterpret_cast<PyObject *>(PyFrame_GetBack(frame)));
    nb::object code = nb::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
    if (!back.is_valid() || equal(code.attr("co_name"), nb::str("<module>")))
        return nb::none();
    nb::object globals = nb::steal(PyFrame_GetGlobals(frame));
    nb::object module = namespace_.attr("get")("__module__");
    if (!equal(globals.attr("get")("__name__"), module))
        return nb::none();
    nb::object locals = nb::steal(PyFrame_GetLocals(frame));
    if (!locals.is_valid())
        raise_from_python();
    nb::object construction = nb::module_::import_("pydantic._internal._model_construction");
    return construction.attr("build_lenient_weakvaluedict")(locals);
}

}  // namespace

nb::object model_meta_new(const Frame &f) {
    nb::handle cls = f[0], name = f[1], bases = f[2];
    // The class is built from a copy: the caller's namespace stays as it was handed in, so one namespace
    // can make several classes (pydantic's metaclass changes what it is given too).
    nb::dict namespace_ = unpack(f[3]);
    nb::object model_config = namespace_.attr("get")("model_config", nb::dict());
    nb::object ignored = nb::steal(PySet_New(model_config.attr("get")("ignored_types", nb::tuple()).ptr()));
    if (!ignored.is_valid())
        raise_from_python();
    for (nb::handle pair : namespace_.attr("items")()) {
        nb::object attr_name = pair[0], attr = pair[1];
        if (PyCallable_Check(attr.ptr()) && !is_descriptor_wrapper(attr) &&
            !truthy(attr_name.attr("startswith")("__")))
            ignored.attr("add")(type_of(attr));
    }
    model_config.attr("update")(make_dict("ignored_types", nb::tuple(ignored)));
    namespace_.attr("update")(make_dict("model_config", model_config));
    if (!truthy(namespace_.attr("__contains__")("__pydantic_parent_namespace__")))
        namespace_[nb::str("__pydantic_parent_namespace__")] = parent_namespace(namespace_);
    nb::object super = nb::borrow(reinterpret_cast<PyObject *>(&PySuper_Type))(f.owner(), cls);
    return super.attr("__new__")(cls, name, bases, namespace_, "__pydantic_reset_parent_namespace__"_a = false);
}

}  // namespace corvel::cython

// class_builder.cpp: building classes the way a class statement does
#include "corvel/class_builder.h"
#include "corvel/errors.h"

namespace corvel {

ClassBuilder::ClassBuilder(nb::handle globals, const char *name, nb::handle meta, nb::tuple bases,
                           nb::dict keywords)
    : globals_(globals), name_(name), meta_(nb::borrow(meta)), bases_(std::move(bases)),
      keywords_(std::move(keywords)) {
    namespace_ = meta_.attr("__prepare__")(name_, bases_);
    namespace_[nb::str("__module__")] = nb::borrow(PyDict_GetItemString(globals.ptr(), "__name__"));
    namespace_[nb::str("__qualname__")] = name_;
}

ClassBuilder &ClassBuilder::field(const char *name, const char *annotation) {
    if (!annotations_.size())
        namespace_[nb::str("__annotations__")] = annotations_;
    annotations_[name] = nb::str(annotation);
    return *this;
}

ClassBuilder &ClassBuilder::field(const char *name, const char *annotation, nb::handle value) {
    field(name, annotation);
    return attr(name, value);
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    namespace_[nb::str(name)] = value;
    return *this;
}

nb::object ClassBuilder::function(FunctionDef &def) {
    if (def.qualname.empty())
        def.qualname = std::string(name_.c_str()) + "." + def.name;
    nb::object fn = make_function(globals_, std::move(def));
    functions_.append(fn);
    return fn;
}

ClassBuilder &ClassBuilder::method(FunctionDef def) {
    const char *name = def.name;
    return attr(name, function(def));
}

ClassBuilder &ClassBuilder::property(FunctionDef def) {
    const char *name = def.name;
    nb::object fn = function(def);
    return attr(name, nb::handle(reinterpret_cast<PyObject *>(&PyProperty_Type))(fn));
}

// type() wraps __new__ in staticmethod only when it is a Python function, so native ones are wrapped here.
ClassBuilder &ClassBuilder::staticmethod(FunctionDef def) {
    const char *name = def.name;
    nb::object fn = function(def);
    nb::object wrapped = nb::steal(PyStaticMethod_New(fn.ptr()));
    if (!wrapped.is_valid())
        raise_from_python();
    return attr(name, wrapped);
}

nb::object ClassBuilder::build() {
    nb::object cls = nb::steal(PyObject_Call(meta_.ptr(), nb::make_tuple(name_, bases_, namespace_).ptr(),
                                             keywords_.ptr()));
    if (!cls.is_valid())
        raise_from_python();
    for (nb::handle fn : functions_)
        set_owner(fn, cls);
    PyDict_SetItem(globals_.ptr(), name_.ptr(), cls.ptr());
    return cls;
}

}  // namespace corvel

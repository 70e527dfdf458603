// corvel/class_builder.h: what a class statement does, from C++
#pragma once

#include "function.h"

namespace corvel {

// Builds a class the way a class statement does: the metaclass prepares the namespace, the body fills it
// (module, qualname, annotation texts, defaults, methods), and the metaclass makes the class.
class ClassBuilder {
public:
    ClassBuilder(nb::handle globals, const char *name, nb::handle meta, nb::tuple bases,
                 nb::dict keywords = nb::dict());

    // An annotated name, with or without a default value.
    ClassBuilder &field(const char *name, const char *annotation);
    ClassBuilder &field(const char *name, const char *annotation, nb::handle value);
    // A plain class attribute (enum members, unannotated private attributes).
    ClassBuilder &attr(const char *name, nb::handle value);

    ClassBuilder &method(FunctionDef def);
    ClassBuilder &property(FunctionDef def);
    ClassBuilder &staticmethod(FunctionDef def);

    // Makes the class, binds it in the module globals and returns it.
    nb::object build();

private:
    nb::object function(FunctionDef &def);

    nb::handle globals_;
    nb::str name_;
    nb::object meta_;
    nb::tuple bases_;
    nb::dict keywords_;
    nb::object namespace_;
    nb::dict annotations_;
    nb::list functions_;
};

}  // namespace corvel

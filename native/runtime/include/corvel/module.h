// corvel/module.h: module initialisation and the import statements of a module body
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace corvel {
namespace nb = nanobind;

// `import name` (the top-level package is bound, as Python does for dotted names without `as`).
nb::object import_module(nb::handle globals, const char *name);
// `from module import a, b, ...`.
void import_from(nb::handle globals, const char *module, std::initializer_list<const char *> names);

// While alive, DeprecationWarnings are not shown: some dependencies warn about their own dependencies
// when imported, and importing corvel prints nothing. Other warnings are passed on when it ends, and
// filters changed meanwhile are restored.
class QuietDeprecations {
public:
    QuietDeprecations();
    ~QuietDeprecations();
    QuietDeprecations(const QuietDeprecations &) = delete;
    QuietDeprecations &operator=(const QuietDeprecations &) = delete;

private:
    nb::object context_;
    nb::object recorded_;
};

}  // namespace corvel

// A multi-phase (PEP 489) extension module: the module is in sys.modules while its body runs, so
// pydantic can resolve the text annotations of the classes it builds against the module's globals.
// Unlike NB_MODULE, an exception raised by the body leaves the import unchanged, not chained.
#define CORVEL_MODULE(name, globals)                                                              \
    static void corvel_##name##_body(nanobind::handle);                                           \
    static int corvel_##name##_exec(PyObject *m) {                                                \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                   \
        if (!nanobind::detail::internals)                                                         \
            return -1;                                                                            \
        try {                                                                                     \
            corvel_##name##_body(PyModule_GetDict(m));                                            \
            return 0;                                                                             \
        } catch (...) {                                                                           \
            corvel::translate_current_exception();                                                \
            return -1;                                                                            \
        }                                                                                         \
    }                                                                                             \
    static PyObject *corvel_##name##_def = nullptr;                                               \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);                          \
    extern "C" PyObject *PyInit_##name(void) {                                                    \
        nanobind::detail::init_singletons();                                                      \
        if (!nanobind::detail::nb_backend_init(#name))                                            \
            return nullptr;                                                                       \
        if (!corvel_##name##_def)                                                                 \
            corvel_##name##_def = NB_CALL(module_new)(#name, nullptr, (void *) corvel_##name##_exec, \
                                                      NB_ABI_MINOR_TAG);                          \
        return corvel_##name##_def;                                                               \
    }                                                                                             \
    void corvel_##name##_body(nanobind::handle globals)

// cython.h: the bodies of corvel.cython, one file per concern
#pragma once

#include <corvel/runtime.h>

namespace corvel::cython {

nb::object model_meta_new(const Frame &f);

}  // namespace corvel::cython

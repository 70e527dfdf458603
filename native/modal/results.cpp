// results.cpp: joining two result records
#include "modal.h"

namespace corvel::modal {

// The left record is rebuilt through validation, so the sum owns new dictionaries; the right record's
// entries are added after the left's, its texts appended, and its status wins.
nb::object result_add(const Frame &f) {
    nb::handle self = f[0], other = f[1];
    nb::object dumped = self.attr("model_dump")();
    nb::object result = nb::steal(PyObject_Call(f.global("LLMResult").ptr(), nb::tuple().ptr(), dumped.ptr()));
    if (!result.is_valid())
        raise_from_python();
    result.attr("tool_calls").attr("update")(other.attr("tool_calls"));
    result.attr("tool_results").attr("update")(other.attr("tool_results"));
    result.attr("reasoning_content") = result.attr("reasoning_content") + other.attr("reasoning_content");
    result.attr("content") = result.attr("content") + other.attr("content");
    result.attr("status") = other.attr("status");
    return result;
}

}  // namespace corvel::modal

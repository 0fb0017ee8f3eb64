#pragma once
// The text of worker/norvex_runtime.py, compiled into the library so that the embedded
// interpreter and the worker run the same execution function without locating a file.

#include <string_view>

namespace norvex::python {

std::string_view runtime_source() noexcept;

}  // namespace norvex::python

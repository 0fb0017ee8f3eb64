#pragma once
// pybind11 access to the embedded interpreter, shared by norvex_python and norvex_coderun.
// Not installed: no public header may show Python. Everything here must be used on the
// interpreter thread (inside a job given to run_on_interpreter).

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

// pybind11's types have hidden visibility, which functions taking them would inherit.
#define NORVEX_EMBEDDED_API __attribute__((visibility("default")))

namespace norvex::python::embedded {

/// The `norvex_runtime` module, loaded when the interpreter starts.
NORVEX_EMBEDDED_API pybind11::module_& runtime();

/// Runs `code` in `ns` (as globals and locals) with stdout captured, after making the
/// current package environment importable; returns the printed text.
/// Throws pybind11::error_already_set with the code's own error.
NORVEX_EMBEDDED_API std::string run_code(std::string_view code, const pybind11::dict& ns);

/// Makes the current package environment (use_package_environment) importable.
NORVEX_EMBEDDED_API void refresh_package_environment();

/// Throws the Python error as PythonExit (non-Exception errors) or PythonError.
[[noreturn]] NORVEX_EMBEDDED_API void rethrow(pybind11::error_already_set& error);

}  // namespace norvex::python::embedded

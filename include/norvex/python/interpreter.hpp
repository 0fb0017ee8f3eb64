#pragma once
/// The process's one embedded Python interpreter, owned by a dedicated thread.
///
/// The interpreter starts on first use and is never finalised (re-initialising breaks
/// numpy). Every use of Python state happens on its thread: callers on other threads hand
/// it jobs and wait. Python errors never leave a job as Python objects: they arrive as
/// PythonError or PythonExit.

#include <filesystem>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include "norvex/base/export.hpp"

namespace norvex::python {

/// True when the calling thread is the interpreter thread.
[[nodiscard]] NORVEX_API bool on_interpreter_thread() noexcept;

/// Runs `job` on the interpreter thread (starting the interpreter on first use) and waits
/// for it; runs it inline when already called on that thread, so code running there may
/// call back into the library. Rethrows what the job throws; an uncaught Python error
/// becomes PythonError (PythonExit for SystemExit, KeyboardInterrupt and other
/// non-Exception errors).
NORVEX_API void run_on_interpreter(const std::function<void()>& job);

/// Like run_on_interpreter, returning the job's result.
template <typename F>
auto call_on_interpreter(F&& job) -> std::invoke_result_t<F&> {
  using Result = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<Result>) {
    run_on_interpreter(std::function<void()>(std::forward<F>(job)));
  } else {
    std::optional<Result> result;
    run_on_interpreter([&] { result.emplace(job()); });
    return std::move(*result);
  }
}

/// Makes the packages of the virtual environment at `env_dir` importable by code run in
/// the embedded interpreter and in the analysis worker, from their next run on. Call again
/// after installing into it (import caches are refreshed). Starts nothing; never throws
/// except std::bad_alloc.
NORVEX_API void use_package_environment(const std::filesystem::path& env_dir);

}  // namespace norvex::python

#pragma once
/// Running analysis code with the pipeline's rules: a fresh namespace holding `datetime`,
/// printed output captured, "TypeName: message" on an ordinary error, exit requests raised.
///
/// By default code runs isolated, in a long-lived worker process (Python with pandas and
/// matplotlib loaded once) that is started on first use and replaced when it dies. The
/// worker has a memory limit, each run a time limit enforced by killing the worker, its
/// environment holds no secrets (names containing KEY, PASSWORD, SECRET or TOKEN, in any
/// case), it runs in the caller's working directory, and its own standard output is not
/// the result channel. Concurrent calls are served one at a time by the one worker, so
/// outputs never mix.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace norvex::python {

/// How one analysis run is executed. Thread rule: a plain value.
struct AnalysisOptions {
  /// Run in the worker process; false runs on the embedded interpreter's thread, with no
  /// time or memory limit and in the process's current directory.
  bool isolated = true;
  /// Longest run time (positive); the worker is killed (and replaced) when a run exceeds it.
  std::chrono::seconds time_limit{60};
  /// Address-space limit of the worker process in bytes (0: none). A run asking for a
  /// different limit than the running worker's gets a new worker.
  std::size_t memory_limit = std::size_t{4} << 30;
  /// Directory the code runs in; empty means the caller's current directory at call time.
  std::filesystem::path working_directory = {};
};

/// What an analysis run produced. Thread rule: a plain value.
struct AnalysisResult {
  bool success = false;
  /// Everything the code printed (success only; output before an error is discarded).
  std::string output;
  /// "TypeName: message" of the error that stopped the code (failure only). A run killed
  /// for its time limit, or a worker that crashed or exited, is a failure with a message
  /// saying so.
  std::string error;
};

/// Name of the variable that names the Python interpreter used for the worker and for
/// virtual environments; unset means the interpreter the library was built with.
inline constexpr std::string_view kPythonVariable = "NORVEX_PYTHON";

/// The Python interpreter program to start as a child process (`NORVEX_PYTHON`, else the
/// build's interpreter). Never the embedded interpreter's `sys.executable`.
[[nodiscard]] std::filesystem::path python_program();

/// Runs `code` as a module in a fresh namespace and returns what it printed or its error.
/// Thread rule: callable from any thread; concurrent calls run one after another.
/// Throws PythonExit when the code raises SystemExit, KeyboardInterrupt or another
/// non-Exception error; ArgumentError for a time limit that is not positive; norvex::Error
/// when the worker cannot be started.
[[nodiscard]] AnalysisResult run_analysis(std::string_view code,
                                          const AnalysisOptions& options = {});

/// Stops the analysis worker if one runs (waiting for a run in progress); the next isolated
/// run starts a new one, which sees the environment variables of that moment. Never throws.
void shutdown_analysis_worker() noexcept;

}  // namespace norvex::python

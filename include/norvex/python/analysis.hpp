#pragma once
/// Running analysis code with the pipeline's rules: a fresh namespace holding `datetime`,
/// printed output captured, "TypeName: message" on an ordinary error, exit requests raised.
///
/// By default code runs isolated: a warm fork server (Python with pandas and matplotlib
/// imported once, started on first use, by start_analysis_server or by prewarm_analysis,
/// replaced when it dies) forks a fresh child for every run, so nothing of one run reaches
/// the next. The child confines
/// itself before the code runs (see sandbox.hpp): it reads only what the interpreter needs,
/// writes only the media folder and a private temporary folder (HOME and TMPDIR, removed
/// after the run), has no network, cannot signal or trace other processes nor start new
/// ones, sees an allow-listed environment, and runs under memory, file-size and CPU limits.
/// It runs in the caller's working directory (relative chart paths resolve there) and its
/// descriptor 1 is not the result. A run that outlives its time limit is killed with its
/// process group; the server stays. Concurrent calls run side by side, each in its own
/// child, up to a limit per process (AnalysisPoolOptions); above it they wait their turn.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

#include "norvex/python/sandbox.hpp"

namespace norvex::python {

/// How one analysis run is executed. Thread rule: a plain value.
struct NORVEX_API AnalysisOptions {
  /// Run in the worker process; false runs on the embedded interpreter's thread, with no
  /// time or memory limit and in the process's current directory.
  bool isolated = true;
  /// Longest run time (positive); the worker is killed (and replaced) when a run exceeds it.
  std::chrono::seconds time_limit{60};
  /// Address-space limit of the run in bytes (0: none).
  std::size_t memory_limit = std::size_t{4} << 30;
  /// Largest file the run may write, in bytes (0: none).
  std::size_t file_size_limit = std::size_t{256} << 20;
  /// Most bytes the run may write in all, across its private folder and the media folder
  /// (0: none). A run past it is stopped; it is checked every 50 ms or so, so a run can go
  /// past it by what it writes in that time.
  std::size_t disk_limit = std::size_t{512} << 20;
  /// Most threads the run may have at once (0: none). A run past it is stopped; it is
  /// checked every 10 ms or so.
  unsigned thread_limit = 256;
  /// Directory the code runs in; empty means the caller's current directory at call time.
  std::filesystem::path working_directory = {};
  /// The one folder the code may write to besides its private temporary folder (charts); a
  /// relative path resolves against `working_directory`. Created when missing. Empty: none.
  std::filesystem::path media_directory = {};
  /// Refuse to run unless every sandbox layer applies (also `NORVEX_SANDBOX=strict`).
  bool strict_sandbox = false;
  /// SandboxLayer bits to leave off (a kernel where one misbehaves; tests). A strict run
  /// with any layer off is refused.
  unsigned disabled_sandbox_layers = 0;
};

/// What an analysis run produced. Thread rule: a plain value.
struct NORVEX_API AnalysisResult {
  bool success = false;
  /// Everything the code printed (success only; output before an error is discarded).
  std::string output;
  /// "TypeName: message" of the error that stopped the code (failure only). A run killed
  /// for its time limit, or a worker that crashed or exited, is a failure with a message
  /// saying so.
  std::string error;
  /// SandboxLayer bits that confined this run (0 for in-process runs).
  unsigned sandbox_layers = 0;
};

/// Name of the variable that names the Python interpreter used for the worker and for
/// virtual environments; unset means the interpreter the library was built with.
inline constexpr std::string_view kPythonVariable = "NORVEX_PYTHON";

/// The Python interpreter program to start as a child process (`NORVEX_PYTHON`, else the
/// build's interpreter). Never the embedded interpreter's `sys.executable`.
[[nodiscard]] NORVEX_API std::filesystem::path python_program();

/// How many isolated runs of this process proceed at once, and how runs above that wait.
/// Thread rule: a plain value.
struct NORVEX_API AnalysisPoolOptions {
  /// Runs at once, each in its own child (0: the number of cores).
  unsigned max_runs = 0;
  /// Runs that may wait for a turn; a run beyond them is refused at once.
  std::size_t max_waiting = 256;
  /// Longest wait for a turn; a run still waiting then is refused.
  std::chrono::milliseconds max_wait{std::chrono::seconds(120)};
};

/// The pool's state at one moment. Thread rule: a plain value.
struct NORVEX_API AnalysisPoolStatus {
  unsigned max_runs = 0;
  unsigned running = 0;
  std::size_t waiting = 0;
};

/// Runs `code` as a module in a fresh namespace and returns what it printed or its error.
/// Thread rule: callable from any thread; isolated runs proceed concurrently up to the pool's
/// limit (in-process runs take turns on the interpreter).
/// Throws PythonExit when the code raises SystemExit, KeyboardInterrupt or another
/// non-Exception error; ArgumentError for a time limit that is not positive; norvex::Error
/// when the fork server cannot be started, when the strict setting refuses the run, or
/// (retryable) when no turn in the pool came free within its limits.
[[nodiscard]] NORVEX_API AnalysisResult run_analysis(std::string_view code,
                                                     const AnalysisOptions& options = {});

/// Starts the analysis fork server now, so that the first run does not pay for importing
/// the analysis stack. Throws norvex::Error when it cannot be started.
NORVEX_API void prewarm_analysis();

/// Starts the analysis fork server in the background if none runs, and returns at once: the
/// first run waits until it is ready. A server that cannot start is reported by that run.
/// Thread rule: callable from any thread. Never throws.
NORVEX_API void start_analysis_server() noexcept;

/// Sets the limits of the analysis pool for the whole process; runs already waiting see the
/// new limit. Throws ArgumentError for a negative wait.
NORVEX_API void configure_analysis_pool(const AnalysisPoolOptions& options);

/// How many runs proceed and wait now.
[[nodiscard]] NORVEX_API AnalysisPoolStatus analysis_pool_status();

/// Stops the analysis fork server if one runs; runs in progress end as failures. The next
/// isolated run starts a new one, which sees the environment variables of that moment.
/// Never throws.
NORVEX_API void shutdown_analysis_worker() noexcept;

}  // namespace norvex::python

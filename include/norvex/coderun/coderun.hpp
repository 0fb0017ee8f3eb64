#pragma once
/// The code runner: one virtual environment for analysis packages, pip installs into it as
/// child processes, and execute_code in a persistent in-process namespace.
///
/// Thread rule: every function may be called from any thread. The runner's state
/// (env_path, media_path, python_executable) is process-wide and guarded; installer runs
/// happen one at a time; execute_code runs on the embedded interpreter's thread, one run at
/// a time. Lines are printed to standard output (or, when called from code that
/// execute_code is running, to that run's captured output).

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::coderun {

/// Packages installed into a newly created environment, in this order, one installer run
/// each.
inline constexpr std::array<std::string_view, 6> defaults = {
    "matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"};

/// Printed after the installer runs of safe_install_modules.
inline constexpr std::string_view kInstallationSuccessful = "Installation successful.";
/// Printed, followed by the error's message, when safe_install_modules fails.
inline constexpr std::string_view kInstallationErrorPrefix =
    "An error occurred during installation: ";

/// Sets env_path to `env_path_param` (an empty path means none), then calls
/// ensure_virtual_environment. Throws what that throws.
NORVEX_API void initialize_environment(const std::filesystem::path& env_path_param);

/// Creates the environment at env_path when nothing exists there (with access to the
/// system's site packages, so the analysis packages the system provides count as
/// installed), sets python_executable to env_path/bin/python, and installs the defaults
/// into a newly created environment. Throws ArgumentError when env_path is not set,
/// norvex::Error when the environment cannot be created.
NORVEX_API void ensure_virtual_environment();

/// safe_install_modules(defaults).
NORVEX_API void install_defaults();

/// Runs install_dependencies(module_names), then prints "Installation successful."; on
/// any error prints "An error occurred during installation: " and its message instead.
/// Never throws.
NORVEX_API void safe_install_modules(const std::vector<std::string>& module_names);

/// Runs `python_executable -m pip install <specifier>` once per specifier, in order, with
/// inherited standard streams; exit statuses are not examined. Throws ArgumentError when
/// python_executable is not set, norvex::Error when a child process cannot be started.
NORVEX_API void install_dependencies(const std::vector<std::string>& dependencies);

/// Runs `code` as a module in the runner's persistent namespace (compiled as "<ast>") and
/// returns everything it printed to sys.stdout. Throws PythonError for the code's error
/// (including syntax errors, raised before stdout is touched), PythonExit for SystemExit,
/// KeyboardInterrupt and other non-Exception errors.
[[nodiscard]] NORVEX_API std::string execute_code(std::string_view code);

/// The environment directory, when set.
[[nodiscard]] NORVEX_API std::optional<std::filesystem::path> env_path();
/// The media directory visible to executed code, when set.
[[nodiscard]] NORVEX_API std::optional<std::filesystem::path> media_path();
/// The environment's interpreter, when set.
[[nodiscard]] NORVEX_API std::optional<std::filesystem::path> python_executable();
/// Sets (or clears) the media directory that executed code sees as `media_path`.
NORVEX_API void set_media_path(std::optional<std::filesystem::path> path);

}  // namespace norvex::coderun

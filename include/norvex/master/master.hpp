#pragma once
/// The bootstrap: guarded, message-printing wrappers over the code runner's set-up. Every
/// public operation of the code runner is reachable here under the same name, except that
/// this module's own safe_install_modules takes that name's place.
///
/// Thread rule: as the code runner's (any thread; shared process-wide state).

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/coderun/coderun.hpp"

namespace norvex::master {

/// Printed, followed by the error's message, when initialize_env fails (spelled so).
inline constexpr std::string_view kInitializationErrorPrefix =
    "An error occurred during initilization: ";

/// Calls coderun::initialize_environment(env_path); on any error prints
/// "An error occurred during initilization: " and its message. Never throws.
NORVEX_API void initialize_env(const std::filesystem::path& env_path);

/// Calls the dependency installer with a list of module names and handles any errors:
/// prints "Installation successful." after the installer runs, or
/// "An error occurred during installation: " and the message. Never throws.
NORVEX_API void safe_install_modules(const std::vector<std::string>& module_names);

using coderun::defaults;
using coderun::ensure_virtual_environment;
using coderun::env_path;
using coderun::execute_code;
using coderun::initialize_environment;
using coderun::install_defaults;
using coderun::install_dependencies;
using coderun::kInstallationErrorPrefix;
using coderun::kInstallationSuccessful;
using coderun::media_path;
using coderun::python_executable;
using coderun::set_media_path;

}  // namespace norvex::master

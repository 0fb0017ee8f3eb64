#include "norvex/master/master.hpp"

#include <string>

#include "norvex/base/output.hpp"

namespace norvex::master {

void initialize_env(const std::filesystem::path& env_path) {
  try {
    coderun::initialize_environment(env_path);
  } catch (const std::exception& error) {
    base::print_line(std::string(kInitializationErrorPrefix) + error.what());
  }
}

void safe_install_modules(const std::vector<std::string>& module_names) {
  try {
    coderun::install_dependencies(module_names);
  } catch (const std::exception& error) {
    base::print_line(std::string(coderun::kInstallationErrorPrefix) + error.what());
    return;
  }
  base::print_line(coderun::kInstallationSuccessful);
}

}  // namespace norvex::master

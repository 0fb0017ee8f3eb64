#include "norvex/master/master.hpp"

#include <iostream>

namespace norvex::master {

void initialize_env(const std::filesystem::path& env_path) {
  try {
    coderun::initialize_environment(env_path);
  } catch (const std::exception& error) {
    std::cout << kInitializationErrorPrefix << error.what() << '\n' << std::flush;
  }
}

void safe_install_modules(const std::vector<std::string>& module_names) {
  try {
    coderun::install_dependencies(module_names);
  } catch (const std::exception& error) {
    std::cout << coderun::kInstallationErrorPrefix << error.what() << '\n' << std::flush;
    return;
  }
  std::cout << coderun::kInstallationSuccessful << '\n' << std::flush;
}

}  // namespace norvex::master

// `norvex env`: the analysis environment, through the bootstrap's guarded operations.
#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "commands.hpp"
#include "norvex/master/master.hpp"

namespace norvex::cli {
namespace {

// The environment directory when --path is not given, relative to the working directory.
constexpr const char* kDefaultEnvPath = "norvex_venv";

struct EnvOptions {
  std::string path = kDefaultEnvPath;
  std::vector<std::string> packages;
};

// initialize_env prints its own failure line; the interpreter path tells whether it worked.
bool initialise(const std::string& path) {
  master::initialize_env(path);
  std::cout.flush();
  return master::python_executable().has_value();
}

}  // namespace

void add_env_commands(CLI::App& app, Action& action) {
  auto* env = app.add_subcommand("env", "The Python environment in which analysis code runs");
  env->require_subcommand(1);
  auto options = std::make_shared<EnvOptions>();

  auto* init = env->add_subcommand(
      "init", "Create the environment (with the default analysis packages) if it does not exist");
  auto* install = env->add_subcommand(
      "install", "Install packages into the environment, creating it first if needed");
  for (auto* command : {init, install}) {
    command->add_option("--path", options->path, "The environment's directory")
        ->capture_default_str();
  }
  install->add_option("PKG", options->packages, "Package specifiers, as pip takes them")
      ->required();

  init->callback(
      [options, &action] { action = [options] { return initialise(options->path) ? 0 : 1; }; });
  install->callback([options, &action] {
    action = [options] {
      if (!initialise(options->path)) return 1;
      master::safe_install_modules(options->packages);
      std::cout.flush();
      return 0;
    };
  });
}

}  // namespace norvex::cli

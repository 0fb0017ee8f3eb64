// The `norvex` program. Its commands live in a shared library opened here, after start-up,
// because of load order: the database tool reads its configuration from the environment
// when its library loads, and the dotenv file must be in the environment by then. This
// program links only the agent library, whose loading loads the dotenv file; the commands
// library (and with it the database tool) is loaded afterwards, so its start-up reads an
// environment that already holds the file's variables.
#include <dlfcn.h>

#include <cstdio>

#include "norvex/agent/dotenv.hpp"

namespace {

using CommandsMain = int (*)(int, char**);

}  // namespace

int main(int argc, char** argv) {
  // Keeps the agent library a load-time dependency even under --as-needed linking.
  static_cast<void>(norvex::agent::dotenv_loaded_at_startup());

  void* commands = ::dlopen(NORVEX_CLI_COMMANDS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (commands == nullptr) {
    std::fprintf(stderr, "norvex: error: cannot load the commands library: %s\n", ::dlerror());
    return 1;
  }
  auto* run = reinterpret_cast<CommandsMain>(::dlsym(commands, "norvex_cli_main"));
  if (run == nullptr) {
    std::fprintf(stderr, "norvex: error: the commands library has no entry point\n");
    return 1;
  }
  return run(argc, argv);
}

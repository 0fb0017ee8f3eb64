// Started by the dotenv tests in a chosen working directory: prints how many variables the
// agent library loaded at start-up and the value of each variable named on the command line.
#include <cstdlib>
#include <iostream>

#include "norvex/agent/dotenv.hpp"

int main(int argc, char** argv) {
  std::cout << "loaded=" << norvex::agent::dotenv_loaded_at_startup() << '\n';
  for (int i = 1; i < argc; ++i) {
    const char* value = std::getenv(argv[i]);
    std::cout << argv[i] << '=' << (value ? value : "<unset>") << '\n';
  }
}

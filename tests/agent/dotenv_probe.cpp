// Started by the dotenv tests in a chosen working directory: loads the dotenv file as the
// `norvex` program does at start (unless the first argument is --no-load), prints how many
// variables that set and the value of each variable named on the command line.
#include <cstdlib>
#include <iostream>
#include <string>

#include "norvex/agent/dotenv.hpp"

int main(int argc, char** argv) {
  int first = 1;
  if (argc > 1 && std::string(argv[1]) == "--no-load") {
    ++first;
  } else {
    std::cout << "loaded=" << norvex::agent::load_dotenv() << '\n';
  }
  for (int i = first; i < argc; ++i) {
    const char* value = std::getenv(argv[i]);
    std::cout << argv[i] << '=' << (value ? value : "<unset>") << '\n';
  }
}

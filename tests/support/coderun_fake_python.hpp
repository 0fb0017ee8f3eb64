#pragma once
// A stand-in Python program for installer tests: `-m venv [--system-site-packages] DIR`
// makes DIR/bin/python a copy of itself; anything else appends its arguments, one a line,
// then "--", to calls.log beside its bin folder, writes its environment to environment.log
// there and prints one line.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/python_scratch.hpp"

namespace norvex::test {

inline constexpr const char* kFakePythonScript = R"(#!/bin/sh
if [ "$1" = "-m" ] && [ "$2" = "venv" ]; then
  for last in "$@"; do :; done
  mkdir -p "$last/bin" && cp "$0" "$last/bin/python" && exit 0
  exit 1
fi
log="$(dirname "$0")/../calls.log"
env > "$(dirname "$0")/../environment.log"
for argument in "$@"; do printf '%s\n' "$argument" >> "$log"; done
printf -- '--\n' >> "$log"
echo "fake installer: $*"
)";

/// Writes the fake program as dir/bin/python and returns its path.
inline std::filesystem::path install_fake_python(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir / "bin");
  const auto program = dir / "bin" / "python";
  write_text(program, kFakePythonScript);
  ::chmod(program.c_str(), 0755);
  return program;
}

/// The argument vectors the fake program received, in order.
inline std::vector<std::vector<std::string>> fake_python_calls(const std::filesystem::path& dir) {
  std::vector<std::vector<std::string>> calls(1);
  std::string text = read_text(dir / "calls.log");
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line == "--") {
      calls.emplace_back();
    } else {
      calls.back().push_back(line);
    }
  }
  calls.pop_back();
  return calls;
}

}  // namespace norvex::test

#pragma once
// The hostile analysis cases of tests/python/data/hostile_cases.txt, shared by the tests that
// run them through run_analysis and through whole questions.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace norvex::test {

struct HostileCase {
  std::string name;
  std::string body;
  bool needs_files = false;  // relies on Landlock's file rules
};

// The cases, PARENT replaced by this process's pid.
inline std::vector<HostileCase> hostile_cases() {
  std::ifstream in(NORVEX_HOSTILE_CASES);
  std::vector<HostileCase> cases;
  const std::string parent = std::to_string(::getpid());
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("#")) continue;
    if (line.starts_with("== ")) {
      HostileCase next{.name = line.substr(3)};
      if (const auto at = next.name.find(" [files]"); at != std::string::npos) {
        next.needs_files = true;
        next.name.erase(at);
      }
      cases.push_back(next);
      continue;
    }
    for (std::size_t at; (at = line.find("PARENT")) != std::string::npos;) {
      line.replace(at, 6, parent);
    }
    if (!cases.empty()) cases.back().body += line + "\n";
  }
  return cases;
}

}  // namespace norvex::test

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

// A file of this process's user outside every run's folders: what OUTSIDE names. Made
// afresh by each reading of the table; remove_outside_file() removes it.
inline std::string outside_file() {
  return "/tmp/norvex-hostile-outside-" + std::to_string(::getpid());
}

inline void remove_outside_file() {
  ::unlink(outside_file().c_str());
}

// The cases, PARENT replaced by this process's pid and OUTSIDE by outside_file().
inline std::vector<HostileCase> hostile_cases() {
  std::ifstream in(NORVEX_HOSTILE_CASES);
  std::vector<HostileCase> cases;
  const std::string parent = std::to_string(::getpid());
  const std::string outside = outside_file();
  remove_outside_file();
  std::ofstream(outside) << "kept\n";
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
    for (std::size_t at; (at = line.find("OUTSIDE")) != std::string::npos;) {
      line.replace(at, 7, outside);
    }
    if (!cases.empty()) cases.back().body += line + "\n";
  }
  return cases;
}

}  // namespace norvex::test

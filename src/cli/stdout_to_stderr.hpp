#pragma once
// With --json standard output holds only the JSON document: while a StdoutToStderr is in
// force, everything else written to file descriptor 1 (printed lines of the library, output
// of analysis code run in this process) goes to standard error instead.

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace norvex::cli {

/// Points file descriptor 1 at standard error for its lifetime (when `active`).
/// Thread rule: open and close on one thread; nothing else may redirect fd 1 meanwhile.
class StdoutToStderr {
 public:
  explicit StdoutToStderr(bool active) {
    if (!active) return;
    std::cout.flush();
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~StdoutToStderr() {
    if (saved_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace norvex::cli

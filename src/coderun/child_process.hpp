#pragma once
// Starting a program from an argument vector (no shell) with inherited standard streams.

#include <string>
#include <vector>

#include "norvex/base/process.hpp"

namespace norvex::coderun::detail {

/// Flushes our output, runs the program and waits for it; returns its wait status.
/// Throws norvex::Error when it cannot be started.
int run_child(const std::vector<std::string>& arguments);

/// "exited with status N" / "was killed by signal N (...)".
using base::describe_status;

}  // namespace norvex::coderun::detail

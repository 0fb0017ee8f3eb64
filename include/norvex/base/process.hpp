#pragma once
/// Child processes: one way to start them and one way to describe how they ended.

#include <sys/types.h>
#include "norvex/base/export.hpp"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace norvex::base {

/// How spawn() sets up the child. Thread rule: a plain value.
struct NORVEX_API SpawnOptions {
  /// The child's environment, "NAME=value" each; the caller builds it (an allow-list).
  std::vector<std::string> environment;
  /// Descriptors of the child made from ours: {ours, theirs}, applied in order.
  std::vector<std::pair<int, int>> descriptors;
  /// Files opened for the child: {theirs, path, open flags}; "/dev/null" for silence.
  struct OpenFile {
    int fd;
    std::filesystem::path path;
    int flags;
  };
  std::vector<OpenFile> files;
  /// A process group of its own, so that a kill reaches everything it starts.
  bool own_process_group = false;
};

/// Starts `arguments[0]` (looked up on PATH) with `arguments`, every signal unblocked and at
/// its default action, and returns its pid. Flushes our standard streams first, so what we
/// printed comes before what the child prints. Throws norvex::Error naming the program when
/// it cannot be started.
NORVEX_API pid_t spawn(const std::vector<std::string>& arguments, const SpawnOptions& options);

/// Waits for `pid` (retrying on EINTR) and returns its wait status; -1 when it cannot be
/// waited for (SIGCHLD ignored by the application).
NORVEX_API int wait_for(pid_t pid) noexcept;

/// "exited with status N", "was killed by signal N (name)", or "ended".
[[nodiscard]] NORVEX_API std::string describe_status(int status);

}  // namespace norvex::base

#include "norvex/base/process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "norvex/error.hpp"

namespace norvex::base {

pid_t spawn(const std::vector<std::string>& arguments, const SpawnOptions& options) {
  if (arguments.empty()) throw ArgumentError("a child process needs a program to run");
  // The child writes to the same descriptors: what we printed must come first.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);

  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& entry : options.environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& file : options.files) {
    posix_spawn_file_actions_addopen(&actions, file.fd, file.path.c_str(), file.flags, 0600);
  }
  for (const auto& [ours, theirs] : options.descriptors) {
    posix_spawn_file_actions_adddup2(&actions, ours, theirs);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.own_process_group) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attributes, flags);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw Error("cannot start '" + arguments.front() + "': " + std::strerror(rc));
  return pid;
}

int wait_for(pid_t pid) noexcept {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

std::string describe_status(int status) {
  if (status < 0) return "ended";
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int number = WTERMSIG(status);
    const char* name = ::strsignal(number);
    return "was killed by signal " + std::to_string(number) + " (" +
           (name != nullptr ? name : "unknown") + ")";
  }
  return "ended";
}

}  // namespace norvex::base

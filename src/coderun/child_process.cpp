#include "child_process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "norvex/error.hpp"
#include "norvex/python/sandbox.hpp"

namespace norvex::coderun::detail {

int run_child(const std::vector<std::string>& arguments) {
  // The child writes to the same descriptors: what we printed must come first.
  std::cout.flush();
  std::fflush(nullptr);

  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // pip and venv see an allow-list of our environment: no API key or password reaches them.
  std::vector<std::string> environment = python::allow_listed_environment(true);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    throw Error("cannot start '" + arguments.front() + "': " + std::strerror(rc));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;  // SIGCHLD ignored by the application: status unknown
  }
  return status;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char* name = ::strsignal(WTERMSIG(status));
    return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
           (name != nullptr ? name : "unknown") + ")";
  }
  return "ended";
}

}  // namespace norvex::coderun::detail

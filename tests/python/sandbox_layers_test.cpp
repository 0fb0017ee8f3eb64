// Each confinement layer on its own, applied to a forked child of the test: what it refuses,
// and that what a run needs still works under it. The child reports through its exit code.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>

#include "confine.h"
#include "norvex/python/sandbox.hpp"
#include "support/python_scratch.hpp"
#include "support/servers.hpp"

namespace norvex::python {
namespace {

using test::ScratchDir;

// Runs body in a child after confining it to `layers`; body's return value is the exit code.
// The read-only paths go into the ruleset as it is made and the writable ones are added
// afterwards, as a run prepared ahead of its request gets its media folder.
int in_child(unsigned layers, const std::string& read_only, const std::string& read_write,
             const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    char why[256];
    unsigned covered = 0;
    const int ruleset =
        norvex_sandbox_ruleset(read_only.c_str(), "", layers, &covered, why, sizeof why);
    if (ruleset >= 0 &&
        norvex_sandbox_allow(ruleset, read_write.c_str(), 1, why, sizeof why) != 0) {
      ::_exit(101);
    }
    const unsigned applied = norvex_sandbox_enforce(ruleset, covered, layers, why, sizeof why);
    ::_exit((applied & layers) != layers ? 100 : body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

int result_of(bool ok) {
  return ok ? 0 : 1;
}

void require(unsigned layer) {
  if ((sandbox_layers().available & layer) != layer) {
    NORVEX_SKIP_OR_FAIL("this kernel lacks the layer " + describe_sandbox_layers(layer));
  }
}

// A listening TCP socket on 127.0.0.1 (kernel-chosen port).
struct Listener {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  Listener() {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd, 4);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  }
  ~Listener() { ::close(fd); }
  [[nodiscard]] bool reachable() const {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return ok;
  }
};

TEST(SandboxLayers, LandlockFilesReadsOnlyTheListAndWritesOnlyTheWritableFolder) {
  require(NORVEX_LAYER_LANDLOCK_FILES);
  ScratchDir readable, writable, elsewhere;
  test::write_text(readable / "lib.txt", "x");
  test::write_text(elsewhere / "secret.txt", "s");
  const auto body = [&] {
    const bool reads = ::open((readable / "lib.txt").c_str(), O_RDONLY) >= 0;
    const bool cannot_write_readable =
        ::open((readable / "new.txt").c_str(), O_WRONLY | O_CREAT, 0600) < 0 && errno == EACCES;
    const bool writes = ::open((writable / "chart.png").c_str(), O_WRONLY | O_CREAT, 0600) >= 0;
    const bool cannot_read_elsewhere =
        ::open((elsewhere / "secret.txt").c_str(), O_RDONLY) < 0 && errno == EACCES;
    // Root's file permissions are no defence; Landlock holds for root too.
    const bool cannot_read_parent_environment =
        ::open(("/proc/" + std::to_string(::getppid()) + "/environ").c_str(), O_RDONLY) < 0;
    return result_of(reads && cannot_write_readable && writes && cannot_read_elsewhere &&
                     cannot_read_parent_environment);
  };
  EXPECT_EQ(in_child(NORVEX_LAYER_LANDLOCK_FILES, readable.path().string() + "\n/nonexistent",
                     writable.path().string(), body),
            0);
  EXPECT_TRUE(std::filesystem::exists(writable / "chart.png"));
  EXPECT_FALSE(std::filesystem::exists(readable / "new.txt"));
}

TEST(SandboxLayers, LandlockNetworkRefusesTcpConnectsAndBinds) {
  require(NORVEX_LAYER_LANDLOCK_NETWORK);
  Listener listener;
  ASSERT_TRUE(listener.reachable());
  const auto body = [&] {
    const bool refused = !listener.reachable();
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    const bool bind_refused = ::bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0;
    return result_of(refused && bind_refused);
  };
  EXPECT_EQ(in_child(NORVEX_LAYER_LANDLOCK_NETWORK, "", "", body), 0);
}

TEST(SandboxLayers, LandlockScopesRefuseSignalsToProcessesOutsideTheRun) {
  require(NORVEX_LAYER_LANDLOCK_SCOPES);
  const auto body = [] {
    const bool parent_refused = ::kill(::getppid(), SIGCONT) != 0 && errno == EPERM;
    const bool self_allowed = ::kill(::getpid(), 0) == 0;
    return result_of(parent_refused && self_allowed);
  };
  EXPECT_EQ(in_child(NORVEX_LAYER_LANDLOCK_SCOPES, "", "", body), 0);
}

TEST(SandboxLayers, SeccompRefusesSocketsTracingAndNewProcessesButNotThreads) {
  require(NORVEX_LAYER_SECCOMP);
  const auto body = [] {
    const bool no_inet = ::socket(AF_INET, SOCK_STREAM, 0) < 0 && errno == EPERM;
    const bool no_unix = ::socket(AF_UNIX, SOCK_STREAM, 0) < 0 && errno == EPERM;
    int pair[2];
    const bool pair_allowed = ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0;
    const bool no_fork = ::fork() < 0 && errno == EPERM;
    bool thread_ran = false;
    std::thread([&] { thread_ran = true; }).join();
    return result_of(no_inet && no_unix && pair_allowed && no_fork && thread_ran);
  };
  EXPECT_EQ(in_child(NORVEX_LAYER_SECCOMP, "", "", body), 0);
}

TEST(SandboxLayers, SeccompAllowsTerminalsNoInputAndOtherProcessesNoChange) {
  require(NORVEX_LAYER_SECCOMP);
  const auto body = [] {
    // A terminal of the run's own: it may ask whether it is one, never type into it.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 10;
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (terminal < 0) return 11;
    char why[256];
    if ((norvex_sandbox_enforce(-1, 0, NORVEX_LAYER_SECCOMP, why, sizeof why) &
         NORVEX_LAYER_SECCOMP) == 0) {
      return 12;
    }
    const char typed = 'x';
    const bool no_typing = ::ioctl(terminal, TIOCSTI, &typed) != 0 && errno == EPERM;
    const bool asks = ::isatty(terminal) == 1;
    rlimit limit{};
    const pid_t parent = ::getppid();
    const bool others_unchanged = ::prlimit(parent, RLIMIT_NOFILE, nullptr, &limit) != 0 &&
                                  ::kill(parent, 0) != 0 &&
                                  ::setpriority(PRIO_PROCESS, parent, 19) != 0;
    const bool itself = ::prlimit(0, RLIMIT_NOFILE, nullptr, &limit) == 0 &&
                        ::prlimit(::getpid(), RLIMIT_NOFILE, nullptr, &limit) == 0 &&
                        ::kill(::getpid(), 0) == 0;
    const bool nothing_else = ::mknod("/tmp/norvex-node", S_IFCHR | 0600, ::makedev(1, 3)) != 0 &&
                              ::shmget(IPC_PRIVATE, 4096, 0600) < 0 &&
                              ::memfd_create("hold", 0) < 0 && ::klogctl(3, nullptr, 0) < 0;
    return result_of(no_typing && asks && others_unchanged && itself && nothing_else);
  };
  EXPECT_EQ(in_child(0, "", "", body), 0);
}

TEST(SandboxLayers, NoPrivilegesLeavesNoCapability) {
  const auto body = [] {
    char why[256];
    if ((norvex_sandbox_enforce(-1, 0, NORVEX_LAYER_NO_PRIVILEGES, why, sizeof why) &
         NORVEX_LAYER_NO_PRIVILEGES) == 0) {
      return 10;
    }
    const bool no_bounding = ::getuid() != 0 || ::prctl(PR_CAPBSET_READ, CAP_SYS_ADMIN) == 0;
    __user_cap_header_struct header{.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
    __user_cap_data_struct sets[2] = {};
    const bool none = ::syscall(SYS_capget, &header, sets) == 0 && sets[0].effective == 0 &&
                      sets[0].permitted == 0 && sets[1].effective == 0 && sets[1].permitted == 0;
    return result_of(no_bounding && none);
  };
  EXPECT_EQ(in_child(0, "", "", body), 0);
}

TEST(SandboxLayers, ResourceLimitsBoundFileSizeAndAddressSpace) {
  ScratchDir dir;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // as the interpreter does: the write fails instead
    if (norvex_sandbox_limits(std::size_t{1} << 30, 4096, 64, 60) != 0) ::_exit(100);
    const int fd = ::open((dir / "big").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::string block(8192, 'x');
    const bool file_bounded = ::write(fd, block.data(), block.size()) == 4096 &&
                              ::write(fd, block.data(), 1) < 0 && errno == EFBIG;
    const bool memory_bounded = ::malloc(std::size_t{2} << 30) == nullptr;
    ::_exit(result_of(file_bounded && memory_bounded));
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SandboxLayers, ProbeAndNames) {
  const auto status = sandbox_layers();
  EXPECT_NE(status.available & NORVEX_LAYER_NO_NEW_PRIVS, 0u);
  EXPECT_EQ(status.landlock_abi >= 6, (status.available & NORVEX_LAYER_LANDLOCK_SCOPES) != 0);
  EXPECT_EQ(describe_sandbox_layers(NORVEX_LAYER_SECCOMP | NORVEX_LAYER_LANDLOCK_FILES),
            "landlock-files, seccomp");
  EXPECT_EQ(describe_sandbox_layers(0), "none");
}

}  // namespace
}  // namespace norvex::python

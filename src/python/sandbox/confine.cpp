// Landlock, seccomp, no_new_privs, resource limits and the subreaper, for the analysis run
// that calls them on itself. Landlock goes through raw system calls: Debian's kernel headers
// predate the network and scope parts of the interface, so those numbers are written here.
#include "confine.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// The ruleset attribute as it grew: file rights (ABI 1), network rights (ABI 4), scopes (ABI 6).
struct RulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

struct NetPortAttr {
  std::uint64_t allowed_access;
  std::uint64_t port;
} __attribute__((packed));

constexpr std::uint64_t kFsTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ULL << 15;  // ABI 5
constexpr std::uint64_t kNetBindTcp = 1ULL << 0;
constexpr std::uint64_t kNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                      LANDLOCK_ACCESS_FS_READ_FILE | kFsTruncate | kFsIoctlDev;
constexpr std::uint64_t kReadRights =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// Writable folders hold files, folders, links, pipes and sockets, never device nodes.
constexpr std::uint64_t kDeviceRights =
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK;

// The kernel's Landlock ABI, capped by NORVEX_SANDBOX_LANDLOCK_ABI (0: as if there were no
// Landlock), so that a newer kernel can show what an older one gives.
int kernel_landlock_abi() {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  int result = abi < 0 ? 0 : static_cast<int>(abi);
  if (const char* cap = std::getenv("NORVEX_SANDBOX_LANDLOCK_ABI"); cap != nullptr && *cap) {
    char* end = nullptr;
    const long value = std::strtol(cap, &end, 10);
    if (*end == '\0' && value >= 0 && value < result) result = static_cast<int>(value);
  }
  return result;
}

std::uint64_t handled_fs(int abi) {
  std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1: bits 0..12
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

std::vector<std::string> split_paths(const char* text) {
  std::vector<std::string> paths;
  if (text == nullptr) return paths;
  std::string_view rest(text);
  while (!rest.empty()) {
    const auto end = rest.find('\n');
    const auto item = rest.substr(0, end);
    if (!item.empty()) paths.emplace_back(item);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return paths;
}

void set_error(char* error, std::size_t size, const std::string& text) {
  if (error != nullptr && size > 0) std::snprintf(error, size, "%s", text.c_str());
}

/// Owns one descriptor. Thread rule: not shared.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int value) : fd(value) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Grants rights beneath each path; a path that does not exist is no error (the list names
// what the interpreter may need on any Debian-like system).
bool add_paths(int ruleset, const std::vector<std::string>& paths, std::uint64_t rights,
               std::uint64_t handled, std::string& why) {
  for (const auto& path : paths) {
    Fd target(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (target.fd < 0) continue;
    struct stat info {};
    if (::fstat(target.fd, &info) != 0) continue;
    std::uint64_t allowed = rights & handled;
    if (!S_ISDIR(info.st_mode)) allowed &= kFileRights;
    landlock_path_beneath_attr rule{.allowed_access = allowed, .parent_fd = target.fd};
    if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
      why = "landlock rule for '" + path + "': " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// A ruleset for the wanted Landlock layers, not yet enforced: its descriptor, or -1 (with
// why set when the kernel offers Landlock but the ruleset failed). covered receives the
// layers it stands for.
int make_ruleset(const char* read_only, const char* read_write, unsigned wanted, int abi,
                 unsigned& covered, std::string& why) {
  covered = 0;
  const unsigned landlock_layers =
      NORVEX_LAYER_LANDLOCK_FILES | NORVEX_LAYER_LANDLOCK_NETWORK | NORVEX_LAYER_LANDLOCK_SCOPES;
  if ((wanted & landlock_layers) == 0 || abi < 1) return -1;
  RulesetAttr attr{};
  std::size_t size = sizeof(std::uint64_t);
  unsigned layers = 0;
  if ((wanted & NORVEX_LAYER_LANDLOCK_FILES) != 0) {
    attr.handled_access_fs = handled_fs(abi);
    layers |= NORVEX_LAYER_LANDLOCK_FILES;
  }
  if ((wanted & NORVEX_LAYER_LANDLOCK_NETWORK) != 0 && abi >= 4) {
    // Handled with no port rule: every TCP bind and connect is refused.
    attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
    size = 2 * sizeof(std::uint64_t);
    layers |= NORVEX_LAYER_LANDLOCK_NETWORK;
  }
  if ((wanted & NORVEX_LAYER_LANDLOCK_SCOPES) != 0 && abi >= 6) {
    attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    size = sizeof(RulesetAttr);
    layers |= NORVEX_LAYER_LANDLOCK_SCOPES;
  }
  if (layers == 0) return -1;
  Fd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
  if (ruleset.fd < 0) {
    why = std::string("landlock ruleset: ") + std::strerror(errno);
    return -1;
  }
  if (attr.handled_access_fs != 0) {
    const std::uint64_t handled = attr.handled_access_fs;
    if (!add_paths(ruleset.fd, split_paths(read_only), kReadRights, handled, why) ||
        !add_paths(ruleset.fd, split_paths(read_write), handled & ~kDeviceRights, handled, why)) {
      return -1;
    }
  }
  covered = layers;
  return std::exchange(ruleset.fd, -1);
}

// The system call filter, compiled once per process by libseccomp and kept as BPF, so that a
// freshly forked run only hands it to the kernel: compiling costs about 2 ms, loading a few µs.
struct CompiledFilter {
  std::vector<sock_filter> program;
  std::string why;  // set when compiling failed
};

// The system calls a run may make, and nothing else (every other call fails with EPERM). The
// list came from tracing the analysis stack (CPython, numpy with OpenBLAS, pandas,
// matplotlib, scipy, scikit-learn with n_jobs, statsmodels; `strace -f`) at work, plus the
// ordinary file, time and memory calls that Python's own modules offer. Left out on purpose:
// new processes and programs (fork, vfork, execve), sockets other than a stream pair,
// mount and name-space calls, SysV IPC, memfd_create, device nodes (mknod), the kernel log,
// clock and module calls, ptrace and other processes' memory, keys, bpf, perf, io_uring.
// Also left out: the calls that change a file's owner, mode, times or extended attributes,
// truncate by name, and inotify. Landlock does not govern them, and a run as root owns every
// root-owned file: chmod, chown (which clears set-user-id bits) and utime would reach any file
// on the system by its name, or through a descriptor opened for reading; truncate by name is
// Landlock's only from ABI 3; inotify reports the names of files in folders the run cannot
// list. Calls that exist on one architecture only are skipped on the others.
constexpr const char* kAllowedCalls[] = {
    // files and folders
    "read", "write", "readv", "writev", "pread64", "pwrite64", "preadv", "pwritev", "preadv2",
    "pwritev2", "open", "openat", "openat2", "creat", "close", "close_range", "lseek", "stat",
    "fstat", "lstat", "newfstatat", "statx", "statfs", "fstatfs", "access", "faccessat",
    "faccessat2", "readlink", "readlinkat", "getdents", "getdents64", "getcwd", "chdir", "fchdir",
    "mkdir", "mkdirat", "rmdir", "unlink", "unlinkat", "rename", "renameat", "renameat2", "link",
    "linkat", "symlink", "symlinkat", "ftruncate", "fallocate", "fadvise64", "fsync", "fdatasync",
    "sync_file_range", "flock", "dup", "dup2", "dup3", "pipe", "pipe2", "umask", "copy_file_range",
    "sendfile", "splice", "tee", "getxattr", "lgetxattr", "fgetxattr", "listxattr", "llistxattr",
    "flistxattr",
    // waiting for descriptors
    "poll", "ppoll", "select", "pselect6", "epoll_create", "epoll_create1", "epoll_ctl",
    "epoll_wait", "epoll_pwait", "epoll_pwait2", "eventfd", "eventfd2",
    // the result channel and stream pairs (socketpair and sendto are checked below)
    "recvfrom", "recvmsg", "sendmsg", "shutdown", "getsockopt", "setsockopt", "getsockname",
    "getpeername",
    // memory
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "msync", "mincore", "mlock",
    "munlock", "mlock2", "membarrier", "get_mempolicy", "set_mempolicy", "mbind",
    // threads, signals, time
    "futex", "futex_waitv", "set_robust_list", "set_tid_address", "rseq", "arch_prctl",
    "sched_yield", "sched_getaffinity", "sched_getparam", "sched_getscheduler",
    "sched_get_priority_max", "sched_get_priority_min", "sched_rr_get_interval", "getcpu",
    "getpriority", "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigpending",
    "rt_sigsuspend", "rt_sigtimedwait", "sigaltstack", "pause", "restart_syscall", "nanosleep",
    "clock_nanosleep", "clock_gettime", "clock_getres", "gettimeofday", "time", "times",
    "getitimer", "setitimer", "alarm", "timer_create", "timer_settime", "timer_gettime",
    "timer_getoverrun", "timer_delete", "timerfd_create", "timerfd_settime", "timerfd_gettime",
    "exit", "exit_group",
    // who and where it is
    "getpid", "getppid", "gettid", "getpgid", "getpgrp", "getsid", "getuid", "geteuid", "getgid",
    "getegid", "getresuid", "getresgid", "getgroups", "capget", "uname", "sysinfo", "getrusage",
    "getrlimit", "getrandom", "prctl",
    // on itself only: the per-run filter refuses other pids
    "prlimit64", "setpriority", "sched_setaffinity", "sched_setparam", "kill", "tgkill",
    "rt_sigqueueinfo", "rt_tgsigqueueinfo", "get_robust_list",
    // the confinement's own calls, harmless once applied (they only narrow)
    "seccomp", "landlock_create_ruleset", "landlock_add_rule", "landlock_restrict_self"};

// Requests that the analysis stack makes (is it a terminal, how wide, how much to read,
// close-on-exec, blocking): never TIOCSTI or TIOCLINUX, which type into a terminal.
constexpr unsigned long kAllowedIoctls[] = {TCGETS,  TIOCGWINSZ, FIONREAD, FIONBIO,
                                            FIOCLEX, FIONCLEX,   TIOCGPGRP};

// fcntl commands on the run's own descriptors. Not F_SETOWN, F_SETOWN_EX or F_SETSIG: with
// them, input on a descriptor signals any process of the same user (as root, any process at
// all), past the per-run check on kill; not F_SETLEASE, which stalls other processes opening a
// file the run can read; not F_NOTIFY; not F_SETPIPE_SZ, with which a run's pipes pass the
// user's soft budget of pipe pages and every later pipe of its user gets a single page.
constexpr unsigned long kAllowedFcntls[] = {
    F_DUPFD,  F_DUPFD_CLOEXEC, F_GETFD,      F_SETFD,     F_GETFL,      F_SETFL,  F_GETLK,
    F_SETLK,  F_SETLKW,        F_OFD_GETLK,  F_OFD_SETLK, F_OFD_SETLKW, F_GETOWN, F_GETOWN_EX,
    F_GETSIG, F_GETLEASE,      F_GETPIPE_SZ, F_ADD_SEALS, F_GET_SEALS};

int add_rules(scmp_filter_ctx filter) {
  const auto allow = static_cast<std::uint32_t>(SCMP_ACT_ALLOW);
  int rc = 0;
  for (const char* name : kAllowedCalls) {
    const int call = ::seccomp_syscall_resolve_name(name);
    if (call == __NR_SCMP_ERROR || call < 0) continue;  // not on this architecture
    if (rc == 0) rc = ::seccomp_rule_add(filter, allow, call, 0);
  }
  for (const unsigned long command : kAllowedFcntls) {
    if (rc == 0) {
      rc = ::seccomp_rule_add(filter, allow, SCMP_SYS(fcntl), 1,
                              SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffULL, command));
    }
  }
  for (const unsigned long request : kAllowedIoctls) {
    if (rc == 0) {
      rc = ::seccomp_rule_add(filter, allow, SCMP_SYS(ioctl), 1,
                              SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffULL, request));
    }
  }
  // A stream pair cannot reach anything outside the run (a datagram one could send to a
  // named socket); sendto only without an address.
  if (rc == 0) {
    rc = ::seccomp_rule_add(filter, allow, SCMP_SYS(socketpair), 2,
                            SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(AF_UNIX)),
                            SCMP_A1(SCMP_CMP_MASKED_EQ, 0xf, SOCK_STREAM));
  }
  if (rc == 0) rc = ::seccomp_rule_add(filter, allow, SCMP_SYS(sendto), 1, SCMP_A4(SCMP_CMP_EQ, 0));
  // Threads, not processes: clone only with CLONE_THREAD. clone3 hides its flags in memory,
  // so it answers ENOSYS and the C library falls back to clone.
  if (rc == 0) {
    rc = ::seccomp_rule_add(filter, allow, SCMP_SYS(clone), 1,
                            SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
  }
  if (rc == 0) {
    rc = ::seccomp_rule_add(filter, static_cast<std::uint32_t>(SCMP_ACT_ERRNO(ENOSYS)),
                            SCMP_SYS(clone3), 0);
  }
  // Ordinary scheduling policies only, never a realtime one.
  for (const scmp_datum_t policy : {SCHED_OTHER, SCHED_BATCH, SCHED_IDLE}) {
    for (const scmp_datum_t flag : {0, SCHED_RESET_ON_FORK}) {
      if (rc == 0) {
        rc = ::seccomp_rule_add(filter, allow, SCMP_SYS(sched_setscheduler), 1,
                                SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffULL, policy | flag));
      }
    }
  }
  return rc;
}

// Compiles the filter into BPF through a memory file (libseccomp exports to a descriptor).
// With `program`, execve is allowed too, but only with exactly that pointer as its path: a
// forked child passes the pointer it inherited, and a path the started program builds itself
// lies elsewhere.
CompiledFilter compile_filter(const char* program = nullptr) {
  CompiledFilter out;
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (filter == nullptr) {
    out.why = "seccomp: cannot create a filter";
    return out;
  }
  int rc = add_rules(filter);
  if (rc == 0 && program != nullptr) {
    rc = ::seccomp_rule_add(
        filter, static_cast<std::uint32_t>(SCMP_ACT_ALLOW), SCMP_SYS(execve), 1,
        SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(reinterpret_cast<std::uintptr_t>(program))));
  }
  Fd memory(::memfd_create("norvex-seccomp", MFD_CLOEXEC));
  if (rc == 0 && memory.fd < 0) rc = -errno;
  if (rc == 0) rc = ::seccomp_export_bpf(filter, memory.fd);
  ::seccomp_release(filter);
  if (rc != 0) {
    out.why = std::string("seccomp: ") + std::strerror(-rc);
    return out;
  }
  const off_t size = ::lseek(memory.fd, 0, SEEK_END);
  if (size <= 0 || size % static_cast<off_t>(sizeof(sock_filter)) != 0) {
    out.why = "seccomp: the compiled filter has an unexpected size";
    return out;
  }
  out.program.resize(static_cast<std::size_t>(size) / sizeof(sock_filter));
  if (::pread(memory.fd, out.program.data(), static_cast<std::size_t>(size), 0) != size) {
    out.program.clear();
    out.why = "seccomp: cannot read the compiled filter back";
  }
  return out;
}

const CompiledFilter& prepared_filter() {
  static const CompiledFilter filter = compile_filter();
  return filter;
}

bool load_filter(std::string& why, const CompiledFilter& filter = prepared_filter()) {
  if (filter.program.empty()) {
    why = filter.why;
    return false;
  }
  sock_fprog program{.len = static_cast<unsigned short>(filter.program.size()),
                     .filter = const_cast<sock_filter*>(filter.program.data())};
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
    why = std::string("seccomp: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// The calls that may act on another process, allowed here only on the calling process itself
// (pid 0 or its own pid; for kill, also its own process group). The pid is known only in the
// run, so this small filter is written by hand there, beside the compiled one: the kernel
// applies both, and the stricter answer wins.
#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "the per-run system call filter knows x86-64 and AArch64 only"
#endif

struct SelfOnly {
  long call;
  int arg;        // the argument holding the pid
  bool group_ok;  // kill: the negative pid (its own process group) too
};

constexpr SelfOnly kSelfOnly[] = {
    {SYS_prlimit64, 0, false},
    {SYS_sched_setaffinity, 0, false},
    {SYS_sched_setparam, 0, false},
    {SYS_sched_setscheduler, 0, false},
    {SYS_setpriority, 1, false},
    {SYS_get_robust_list, 0, false},
    {SYS_migrate_pages, 0, false},
    {SYS_move_pages, 0, false},
    {SYS_kill, 0, true},
    {SYS_tgkill, 0, false},
    {SYS_rt_sigqueueinfo, 0, false},
    {SYS_rt_tgsigqueueinfo, 0, false},
};

// The kernel reads these pids as 32-bit values: the low half of the argument is what counts.
constexpr std::uint32_t arg_low(int arg) {
  return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * arg);
}

std::vector<sock_filter> self_only_filter(pid_t self) {
  const auto stmt = [](std::uint16_t code, std::uint32_t k) { return sock_filter{code, 0, 0, k}; };
  const auto jump = [](std::uint32_t k, std::uint8_t yes, std::uint8_t no) {
    return sock_filter{BPF_JMP | BPF_JEQ | BPF_K, yes, no, k};
  };
  const auto me = static_cast<std::uint32_t>(self);
  const auto group = static_cast<std::uint32_t>(-self);
  constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
  constexpr std::uint32_t kDeny = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
  std::vector<sock_filter> program = {
      stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      jump(kAuditArch, 1, 0),
      stmt(BPF_RET | BPF_K, kAllow),  // another architecture: the compiled filter kills it
      stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (const auto& entry : kSelfOnly) {
    // nr == call ? check : next entry. The check block: load the pid, allow 0, self (and the
    // group), deny the rest.
    std::vector<sock_filter> check = {stmt(BPF_LD | BPF_W | BPF_ABS, arg_low(entry.arg))};
    if (entry.call == SYS_setpriority) {
      // setpriority(which, who, ...): only PRIO_PROCESS (0) about itself.
      check = {stmt(BPF_LD | BPF_W | BPF_ABS, arg_low(0)), jump(PRIO_PROCESS, 1, 0),
               stmt(BPF_RET | BPF_K, kDeny), stmt(BPF_LD | BPF_W | BPF_ABS, arg_low(1))};
    }
    const bool zero_ok = entry.call != SYS_tgkill && entry.call != SYS_rt_sigqueueinfo &&
                         entry.call != SYS_rt_tgsigqueueinfo;
    std::vector<std::uint32_t> allowed = {me};
    if (zero_ok) allowed.push_back(0);
    if (entry.group_ok) allowed.push_back(group);
    for (std::size_t i = 0; i < allowed.size(); ++i) {
      // A match jumps over the remaining comparisons and the deny to the allow.
      const auto left = static_cast<std::uint8_t>(allowed.size() - i);
      check.push_back(jump(allowed[i], left, 0));
    }
    check.push_back(stmt(BPF_RET | BPF_K, kDeny));
    check.push_back(stmt(BPF_RET | BPF_K, kAllow));
    program.push_back(
        jump(static_cast<std::uint32_t>(entry.call), 0, static_cast<std::uint8_t>(check.size())));
    program.insert(program.end(), check.begin(), check.end());
    // After a block the accumulator holds an argument: the next entry reloads the number.
    program.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  }
  program.push_back(stmt(BPF_RET | BPF_K, kAllow));
  return program;
}

bool load_self_only_filter(std::string& why) {
  auto program = self_only_filter(::getpid());
  sock_fprog fprog{.len = static_cast<unsigned short>(program.size()), .filter = program.data()};
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) != 0) {
    why = std::string("seccomp (calls on other processes): ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Drops every capability for good: the bounding set (nothing can come back through a
// program), the ambient set, and the effective, permitted and inheritable sets; root's
// special treatment (SECBIT_NOROOT) is switched off and locked. A process without
// capabilities (an ordinary user) has nothing to drop and cannot change its securebits:
// it is done when its sets are empty.
bool drop_capabilities(std::string& why) {
  const bool privileged = ::prctl(PR_CAPBSET_READ, CAP_SETPCAP, 0, 0, 0) == 1 && [] {
    __user_cap_header_struct header{.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
    __user_cap_data_struct data[2] = {};
    return ::syscall(SYS_capget, &header, data) == 0 &&
           (data[0].effective & (1u << CAP_SETPCAP)) != 0;
  }();
  if (privileged) {
    const unsigned long bits = SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                               SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
                               SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED;
    if (::prctl(PR_SET_SECUREBITS, bits, 0, 0, 0) != 0) {
      why = std::string("securebits: ") + std::strerror(errno);
      return false;
    }
    for (int cap = 0; cap < 64; ++cap) {
      if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
        if (errno == EINVAL) break;  // past the last capability this kernel knows
        why = std::string("capability bounding set: ") + std::strerror(errno);
        return false;
      }
    }
  }
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    why = std::string("ambient capabilities: ") + std::strerror(errno);
    return false;
  }
  __user_cap_header_struct header{.version = _LINUX_CAPABILITY_VERSION_3, .pid = 0};
  __user_cap_data_struct none[2] = {};
  if (::syscall(SYS_capset, &header, none) != 0) {
    why = std::string("capabilities: ") + std::strerror(errno);
    return false;
  }
  return true;
}

int set_limit(int resource, unsigned long long value) {
  if (value == 0) return 0;
  rlimit limit{.rlim_cur = value, .rlim_max = value};
  return ::setrlimit(resource, &limit) == 0 ? 0 : errno;
}

}  // namespace

extern "C" {

unsigned norvex_sandbox_probe(int* landlock_abi) {
  const int abi = kernel_landlock_abi();
  if (landlock_abi != nullptr) *landlock_abi = abi;
  unsigned layers =
      NORVEX_LAYER_NO_NEW_PRIVS | NORVEX_LAYER_RESOURCE_LIMITS | NORVEX_LAYER_NO_PRIVILEGES;
  if (abi >= 1) layers |= NORVEX_LAYER_LANDLOCK_FILES;
  if (abi >= 4) layers |= NORVEX_LAYER_LANDLOCK_NETWORK;
  if (abi >= 6) layers |= NORVEX_LAYER_LANDLOCK_SCOPES;
  if (::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 && ::seccomp_api_get() >= 1) {
    layers |= NORVEX_LAYER_SECCOMP;
  }
  int current = 0;
  if (::prctl(PR_GET_CHILD_SUBREAPER, &current, 0, 0, 0) == 0) layers |= NORVEX_LAYER_SUBREAPER;
  return layers;
}

int norvex_sandbox_prepare(void) {
  const auto& filter = prepared_filter();
  return filter.program.empty() ? EINVAL : 0;
}

int norvex_sandbox_limits(unsigned long long address_space, unsigned long long file_size,
                          unsigned long long open_files, unsigned long long cpu_seconds) {
  int rc = set_limit(RLIMIT_AS, address_space);
  if (rc == 0) rc = set_limit(RLIMIT_FSIZE, file_size);
  if (rc == 0) rc = set_limit(RLIMIT_NOFILE, open_files);
  if (rc == 0 && cpu_seconds != 0) {
    // The soft limit sends SIGXCPU; the hard one, a moment later, SIGKILL.
    rlimit limit{.rlim_cur = cpu_seconds, .rlim_max = cpu_seconds + 5};
    if (::setrlimit(RLIMIT_CPU, &limit) != 0) rc = errno;
  }
  rlimit none{.rlim_cur = 0, .rlim_max = 0};
  if (rc == 0 && ::setrlimit(RLIMIT_CORE, &none) != 0) rc = errno;
  // Queued signals (and timers, which each hold one) count against the whole user's total:
  // without a small limit of its own, a run's timers would use up the budget of every
  // process of its user (all of root's, run as root) while it lasts.
  if (rc == 0) rc = set_limit(RLIMIT_SIGPENDING, 1024);
  return rc;
}

int norvex_sandbox_ruleset(const char* read_only, const char* read_write, unsigned wanted,
                           unsigned* covered, char* error, std::size_t error_size) {
  set_error(error, error_size, "");
  std::string why;
  unsigned layers = 0;
  const int fd = make_ruleset(read_only, read_write, wanted, kernel_landlock_abi(), layers, why);
  if (covered != nullptr) *covered = layers;
  set_error(error, error_size, why);
  return fd;
}

int norvex_sandbox_allow(int ruleset, const char* paths, int writable, char* error,
                         std::size_t error_size) {
  set_error(error, error_size, "");
  const std::uint64_t handled = handled_fs(kernel_landlock_abi());
  std::string why;
  if (!add_paths(ruleset, split_paths(paths),
                 writable != 0 ? handled & ~kDeviceRights : kReadRights, handled, why)) {
    set_error(error, error_size, why);
    return -1;
  }
  return 0;
}

unsigned norvex_sandbox_enforce(int ruleset, unsigned covered, unsigned wanted, char* error,
                                std::size_t error_size) {
  set_error(error, error_size, "");
  unsigned applied = 0;
  std::string why;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) {
    // Landlock and seccomp need it for a process without CAP_SYS_ADMIN, so it is always set.
    if ((wanted & NORVEX_LAYER_NO_NEW_PRIVS) != 0) applied |= NORVEX_LAYER_NO_NEW_PRIVS;
  } else {
    why = std::string("no_new_privs: ") + std::strerror(errno);
  }
  if ((wanted & NORVEX_LAYER_NO_PRIVILEGES) != 0 && drop_capabilities(why)) {
    applied |= NORVEX_LAYER_NO_PRIVILEGES;
  }
  if (ruleset >= 0) {
    if (::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0) {
      applied |= covered & wanted;
    } else {
      why = std::string("landlock restrict: ") + std::strerror(errno);
    }
  }
  if ((wanted & NORVEX_LAYER_SECCOMP) != 0 && ::seccomp_api_get() >= 1 && load_filter(why) &&
      load_self_only_filter(why)) {
    applied |= NORVEX_LAYER_SECCOMP;
  }
  set_error(error, error_size, why);
  return applied;
}

int norvex_sandbox_become_subreaper(void) {
  return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 ? 0 : errno;
}

int norvex_sandbox_die_with_parent(void) {
  return ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) == 0 ? 0 : errno;
}

struct norvex_sandbox_filter {
  CompiledFilter compiled;
};

norvex_sandbox_filter* norvex_sandbox_exec_filter(const char* program) {
  auto* out = new (std::nothrow) norvex_sandbox_filter{compile_filter(program)};
  if (out != nullptr && out->compiled.program.empty()) {
    delete out;
    out = nullptr;
  }
  return out;
}

int norvex_sandbox_load_filter(const norvex_sandbox_filter* filter, char* error,
                               std::size_t error_size) {
  std::string why;
  const bool loaded =
      filter != nullptr && load_filter(why, filter->compiled) && load_self_only_filter(why);
  if (!loaded && why.empty()) why = "seccomp: no filter";
  set_error(error, error_size, why);
  return loaded ? 0 : EPERM;
}

void norvex_sandbox_filter_free(norvex_sandbox_filter* filter) {
  delete filter;
}

}  // extern "C"

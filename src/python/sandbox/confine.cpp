// Landlock, seccomp, no_new_privs, resource limits and the subreaper, for the analysis run
// that calls them on itself. Landlock goes through raw system calls: Debian's kernel headers
// predate the network and scope parts of the interface, so those numbers are written here.
#include "confine.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
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
#include <cstring>
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

int kernel_landlock_abi() {
  const long abi =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return abi < 0 ? 0 : static_cast<int>(abi);
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
        !add_paths(ruleset.fd, split_paths(read_write), handled, handled, why)) {
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

// Refused outright: new sockets (the run's result channel is inherited), other processes'
// memory, the kernel's administrative interfaces, name spaces, and new processes (threads
// stay allowed), which also bounds a fork storm for root, whom RLIMIT_NPROC does not bind.
int add_rules(scmp_filter_ctx filter) {
  const auto deny = static_cast<std::uint32_t>(SCMP_ACT_ERRNO(EPERM));
  int rc = 0;
  for (const int call : {SCMP_SYS(socket),
                         SCMP_SYS(ptrace),
                         SCMP_SYS(process_vm_readv),
                         SCMP_SYS(process_vm_writev),
                         SCMP_SYS(mount),
                         SCMP_SYS(umount2),
                         SCMP_SYS(pivot_root),
                         SCMP_SYS(chroot),
                         SCMP_SYS(keyctl),
                         SCMP_SYS(add_key),
                         SCMP_SYS(request_key),
                         SCMP_SYS(bpf),
                         SCMP_SYS(perf_event_open),
                         SCMP_SYS(kexec_load),
                         SCMP_SYS(kexec_file_load),
                         SCMP_SYS(init_module),
                         SCMP_SYS(finit_module),
                         SCMP_SYS(delete_module),
                         SCMP_SYS(reboot),
                         SCMP_SYS(swapon),
                         SCMP_SYS(swapoff),
                         SCMP_SYS(setns),
                         SCMP_SYS(unshare),
                         SCMP_SYS(userfaultfd),
                         SCMP_SYS(open_by_handle_at),
                         SCMP_SYS(name_to_handle_at),
                         SCMP_SYS(acct),
                         SCMP_SYS(quotactl),
                         SCMP_SYS(settimeofday),
                         SCMP_SYS(clock_settime),
                         SCMP_SYS(sethostname),
                         SCMP_SYS(setdomainname),
                         SCMP_SYS(iopl),
                         SCMP_SYS(ioperm),
                         SCMP_SYS(io_uring_setup),
                         SCMP_SYS(fanotify_init),
                         SCMP_SYS(pidfd_getfd),
                         SCMP_SYS(kcmp),
                         SCMP_SYS(fsopen),
                         SCMP_SYS(fsmount),
                         SCMP_SYS(move_mount),
                         SCMP_SYS(open_tree),
                         SCMP_SYS(mount_setattr),
                         SCMP_SYS(fork),
                         SCMP_SYS(vfork)}) {
    if (rc == 0) rc = ::seccomp_rule_add(filter, deny, call, 0);
  }
  // A socket pair cannot reach anything outside the run; every other family is refused.
  if (rc == 0) {
    rc = ::seccomp_rule_add(filter, deny, SCMP_SYS(socketpair), 1,
                            SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(AF_UNIX)));
  }
  // clone without CLONE_THREAD makes a process; clone3 hides its flags in memory, so it
  // answers ENOSYS and the C library falls back to clone.
  if (rc == 0) {
    rc = ::seccomp_rule_add(filter, deny, SCMP_SYS(clone), 1,
                            SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
  }
  if (rc == 0) {
    rc = ::seccomp_rule_add(filter, static_cast<std::uint32_t>(SCMP_ACT_ERRNO(ENOSYS)),
                            SCMP_SYS(clone3), 0);
  }
  return rc;
}

// Compiles the filter into BPF through a memory file (libseccomp exports to a descriptor).
CompiledFilter compile_filter() {
  CompiledFilter out;
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr) {
    out.why = "seccomp: cannot create a filter";
    return out;
  }
  int rc = add_rules(filter);
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

bool load_filter(std::string& why) {
  const auto& filter = prepared_filter();
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
  unsigned layers = NORVEX_LAYER_NO_NEW_PRIVS | NORVEX_LAYER_RESOURCE_LIMITS;
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
  if (!add_paths(ruleset, split_paths(paths), writable != 0 ? handled : kReadRights, handled,
                 why)) {
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
  if (ruleset >= 0) {
    if (::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0) {
      applied |= covered & wanted;
    } else {
      why = std::string("landlock restrict: ") + std::strerror(errno);
    }
  }
  if ((wanted & NORVEX_LAYER_SECCOMP) != 0 && ::seccomp_api_get() >= 1 && load_filter(why)) {
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

}  // extern "C"

#pragma once
/// The confinement of analysis runs: which layers this machine offers, the environment that
/// child processes get, and the strict setting.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::python {

/// One confinement layer of an analysis run (bit values; combine with `|` on the numbers).
enum class SandboxLayer : unsigned {
  landlock_files =
      1u << 0,  ///< file system allow-lists: read-only libraries, a writable media folder
  landlock_network = 1u << 1,  ///< no TCP bind or connect
  landlock_scopes = 1u << 2,   ///< no signals to outside processes, no abstract UNIX sockets
  seccomp = 1u << 3,  ///< system call allow-list; calls on processes only on the run itself
  no_new_privs = 1u << 4,
  resource_limits = 1u << 5,  ///< address space, file size, open files, CPU seconds
  subreaper = 1u << 6,        ///< descendants of a run return to the fork server and die
  no_privileges = 1u << 7,    ///< every capability dropped (bounding, ambient), root not special
};

/// Every layer.
inline constexpr unsigned kAllSandboxLayers = (1u << 8) - 1u;

/// What a strict run requires: with these every guarantee holds (files read and written only
/// where allowed, no network, no signal, limit or priority change to another process, no
/// device, terminal, privilege or new process, bounded resources). Landlock's network rules
/// and scopes (Linux 6.7, 6.12) add depth where the kernel has them; the system call filter
/// holds the same lines without them.
inline constexpr unsigned kRequiredSandboxLayers =
    kAllSandboxLayers & ~(static_cast<unsigned>(SandboxLayer::landlock_network) |
                          static_cast<unsigned>(SandboxLayer::landlock_scopes));

/// Name of the variable that caps the Landlock ABI used (0: none), to see on a newer kernel
/// what an older one gives.
inline constexpr std::string_view kLandlockAbiVariable = "NORVEX_SANDBOX_LANDLOCK_ABI";

/// Name of the variable whose value "strict" refuses analysis runs unless every guarantee
/// holds (kRequiredSandboxLayers).
inline constexpr std::string_view kSandboxVariable = "NORVEX_SANDBOX";

/// What confinement this machine offers. Thread rule: a plain value.
struct NORVEX_API SandboxStatus {
  unsigned available = 0;  ///< bits of SandboxLayer
  int landlock_abi = 0;    ///< 0 when Landlock is missing

  /// Every guarantee holds: strict runs go ahead (kRequiredSandboxLayers).
  [[nodiscard]] bool complete() const noexcept {
    return (available & kRequiredSandboxLayers) == kRequiredSandboxLayers;
  }
};

/// Probes this kernel once (later calls return the same answer). Never throws.
[[nodiscard]] NORVEX_API SandboxStatus sandbox_layers() noexcept;

/// The layers named, comma-separated ("landlock-files, seccomp"); "none" for none.
[[nodiscard]] NORVEX_API std::string describe_sandbox_layers(unsigned layers);

/// Why a strict run cannot go ahead without the required layers `missing`, in words ("file-
/// system confinement needs Landlock (Linux 5.13), which is not available here").
[[nodiscard]] NORVEX_API std::string describe_missing_guarantees(unsigned missing);

/// "every guarantee holds", or which do not with the layers `available` and why.
[[nodiscard]] NORVEX_API std::string describe_sandbox_guarantees(unsigned available);

/// True when `NORVEX_SANDBOX` is "strict".
[[nodiscard]] NORVEX_API bool strict_sandbox_from_environment() noexcept;

/// From now on every analysis run of this process requires every sandbox layer, as
/// `NORVEX_SANDBOX=strict` does (a program's --strict-sandbox; a server's default). There
/// is no way back. Thread rule: callable from any thread. Never throws.
NORVEX_API void require_strict_sandbox() noexcept;

/// True when require_strict_sandbox() was called or `NORVEX_SANDBOX` is "strict".
[[nodiscard]] NORVEX_API bool strict_sandbox_required() noexcept;

/// The environment for child processes that must not see our secrets (the analysis fork
/// server, pip, venv): an allow-list of ours (PATH, HOME, locale, TZ, TMPDIR, thread counts;
/// with `for_installer`, also pip's PIP_* settings, proxies and certificate paths), never a
/// name containing KEY, PASSWORD, SECRET or TOKEN. Entries are "NAME=value".
[[nodiscard]] NORVEX_API std::vector<std::string> allow_listed_environment(
    bool for_installer = false);

}  // namespace norvex::python

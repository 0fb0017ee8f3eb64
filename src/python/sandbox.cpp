#include "norvex/python/sandbox.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>

#include "sandbox/confine.h"

extern char** environ;

namespace norvex::python {
namespace {

constexpr std::array<std::string_view, 8> kLayerNames = {
    "landlock-files", "landlock-network", "landlock-scopes", "seccomp",
    "no-new-privs",   "resource-limits",  "subreaper",       "no-privileges"};
constexpr std::array<std::string_view, 4> kSecretMarks = {"KEY", "PASSWORD", "SECRET", "TOKEN"};
constexpr std::array<std::string_view, 15> kAllowed = {"PATH",
                                                       "HOME",
                                                       "USER",
                                                       "LOGNAME",
                                                       "LANG",
                                                       "LANGUAGE",
                                                       "TZ",
                                                       "TMPDIR",
                                                       "MPLCONFIGDIR",
                                                       "PYTHONIOENCODING",
                                                       "PYTHONUTF8",
                                                       "OMP_NUM_THREADS",
                                                       "OPENBLAS_NUM_THREADS",
                                                       "MKL_NUM_THREADS",
                                                       "NUMEXPR_NUM_THREADS"};
constexpr std::array<std::string_view, 12> kInstallerAllowed = {
    "http_proxy",         "https_proxy",    "no_proxy",        "HTTP_PROXY",
    "HTTPS_PROXY",        "NO_PROXY",       "SSL_CERT_FILE",   "SSL_CERT_DIR",
    "REQUESTS_CA_BUNDLE", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "VIRTUAL_ENV"};

bool is_secret_name(std::string_view name) {
  std::string upper(name);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return std::any_of(kSecretMarks.begin(), kSecretMarks.end(),
                     [&](std::string_view mark) { return upper.find(mark) != std::string::npos; });
}

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

static_assert(static_cast<unsigned>(SandboxLayer::subreaper) == NORVEX_LAYER_SUBREAPER);
static_assert(kAllSandboxLayers == NORVEX_LAYER_ALL);
static_assert(kRequiredSandboxLayers == NORVEX_LAYER_REQUIRED);

SandboxStatus sandbox_layers() noexcept {
  static const SandboxStatus status = [] {
    SandboxStatus probed;
    probed.available = norvex_sandbox_probe(&probed.landlock_abi);
    return probed;
  }();
  return status;
}

std::string describe_sandbox_layers(unsigned layers) {
  std::string text;
  for (std::size_t i = 0; i < kLayerNames.size(); ++i) {
    if ((layers & (1u << i)) == 0) continue;
    if (!text.empty()) text += ", ";
    text += kLayerNames[i];
  }
  return text.empty() ? "none" : text;
}

std::string describe_missing_guarantees(unsigned missing) {
  std::string text;
  const auto add = [&](unsigned layer, const std::string& what) {
    if ((missing & layer) == 0) return;
    if (!text.empty()) text += "; ";
    text += what;
  };
  add(static_cast<unsigned>(SandboxLayer::landlock_files),
      "file-system confinement needs Landlock (Linux 5.13), which is not available here" +
          std::string(std::getenv(kLandlockAbiVariable.data()) != nullptr
                          ? " (" + std::string(kLandlockAbiVariable) + " caps it)"
                          : ""));
  add(static_cast<unsigned>(SandboxLayer::seccomp),
      "the system call filter (no network, devices, terminal, new processes or signals to "
      "others) needs seccomp, which is off or not available");
  const unsigned rest = missing & ~static_cast<unsigned>(SandboxLayer::landlock_files) &
                        ~static_cast<unsigned>(SandboxLayer::seccomp);
  if (rest != 0)
    add(rest, "these layers are off or not available: " + describe_sandbox_layers(rest));
  return text;
}

std::string describe_sandbox_guarantees(unsigned available) {
  const unsigned missing = kRequiredSandboxLayers & ~available;
  return missing == 0 ? "every guarantee holds"
                      : "not every guarantee holds: " + describe_missing_guarantees(missing);
}

bool strict_sandbox_from_environment() noexcept {
  const char* value = std::getenv(kSandboxVariable.data());
  return value != nullptr && std::string_view(value) == "strict";
}

namespace {
std::atomic<bool> strict_required{false};
}  // namespace

void require_strict_sandbox() noexcept {
  strict_required.store(true, std::memory_order_relaxed);
}

bool strict_sandbox_required() noexcept {
  return strict_required.load(std::memory_order_relaxed) || strict_sandbox_from_environment();
}

std::vector<std::string> allow_listed_environment(bool for_installer) {
  std::vector<std::string> result;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const auto name = text.substr(0, text.find('='));
    if (is_secret_name(name)) continue;
    const bool allowed =
        listed(kAllowed, name) || name.starts_with("LC_") ||
        (for_installer && (listed(kInstallerAllowed, name) || name.starts_with("PIP_")));
    if (allowed) result.emplace_back(text);
  }
  return result;
}

}  // namespace norvex::python

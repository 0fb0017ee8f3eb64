// Files and folders a load is making, removed when a signal ends the program before the
// load could clean up after itself. The signal handler may only make system calls, so the
// paths sit in fixed slots and folders are emptied with getdents64.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "source.hpp"

namespace norvex::files::detail {
namespace {

constexpr std::size_t kSlots = 32;
constexpr std::size_t kPathBytes = 4096;

struct Slot {
  std::atomic<bool> used{false};   // taken by a Cleanup
  std::atomic<bool> ready{false};  // path written
  bool tree = false;
  char path[kPathBytes] = {};
};
Slot slots[kSlots];

// Removes what is inside the folder `fd` and below, at most `depth` levels down.
void empty_folder(int fd, int depth) {
  alignas(8) char buffer[2048];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n <= 0) return;
    bool removed_any = false;
    for (long at = 0; at < n;) {
      struct Entry {
        ino64_t ino;
        off64_t off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
      };
      const auto* entry = reinterpret_cast<const Entry*>(buffer + at);
      at += entry->reclen;
      const char* name = entry->name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (entry->type == DT_DIR) {
        if (depth > 0) {
          const int inner = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (inner >= 0) {
            empty_folder(inner, depth - 1);
            ::close(inner);
          }
        }
        if (::unlinkat(fd, name, AT_REMOVEDIR) == 0) removed_any = true;
      } else if (::unlinkat(fd, name, 0) == 0) {
        removed_any = true;
      }
    }
    // Removing entries while reading moves the rest: start over until nothing goes.
    if (removed_any) ::lseek(fd, 0, SEEK_SET);
    if (!removed_any) return;
  }
}

void remove_all_registered() {
  for (auto& slot : slots) {
    if (!slot.used.load() || !slot.ready.load()) continue;
    if (slot.tree) {
      const int fd = ::open(slot.path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) {
        empty_folder(fd, 4);
        ::close(fd);
      }
      ::rmdir(slot.path);
    } else {
      ::unlink(slot.path);
    }
  }
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void on_signal(int number) {
  remove_all_registered();
  // Then end as the signal would have ended us.
  ::signal(number, SIG_DFL);
  ::raise(number);
}

}  // namespace

Cleanup::Cleanup(const std::filesystem::path& path, bool tree) {
  const std::string& text = path.native();
  if (text.size() >= kPathBytes) return;
  for (std::size_t i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (slots[i].used.compare_exchange_strong(expected, true)) {
      slots[i].tree = tree;
      std::memcpy(slots[i].path, text.c_str(), text.size() + 1);
      slots[i].ready.store(true);
      slot_ = static_cast<int>(i);
      return;
    }
  }
}

Cleanup::~Cleanup() {
  if (slot_ < 0) return;
  slots[slot_].ready.store(false);
  slots[slot_].used.store(false);
}

}  // namespace norvex::files::detail

namespace norvex::files {

void remove_partial_files_on_signals() {
  for (const int number : detail::kSignals) {
    struct sigaction current {};
    if (::sigaction(number, nullptr, &current) != 0) continue;
    // A handler or an ignore set by the application stays as it is.
    if (current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = detail::on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(number, &action, nullptr);
  }
}

}  // namespace norvex::files

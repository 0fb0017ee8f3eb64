#pragma once
/// Usage accounting: tokens and wall time of chat calls, summed per scope.

#include <atomic>
#include <chrono>
#include <cstdint>
#include "norvex/base/export.hpp"

namespace norvex::llm {

/// What some chat calls cost. Thread rule: a plain value.
struct NORVEX_API Usage {
  std::int64_t calls = 0;
  std::int64_t prompt_tokens = 0;
  std::int64_t completion_tokens = 0;
  std::chrono::nanoseconds time{0};

  Usage& operator+=(const Usage& other) noexcept;
  friend bool operator==(const Usage&, const Usage&) = default;
};

/// Collects the usage of every chat call made while it is open. Scopes nest per thread (the
/// innermost open scope of the calling thread and all its parents receive each call); a scope
/// opened with an explicit parent chains to a scope of another thread, so a run's scope can
/// sum the calls made on its node threads. A parent must outlive its children.
/// Thread rule: open and close on one thread; totals() and record() may run on any thread.
class NORVEX_API UsageScope {
 public:
  /// Opens a scope under the calling thread's innermost open scope, if any.
  UsageScope();
  /// Opens a scope under `parent` (which may belong to another thread); null means none.
  explicit UsageScope(UsageScope* parent);
  ~UsageScope();
  UsageScope(const UsageScope&) = delete;
  UsageScope& operator=(const UsageScope&) = delete;

  /// What the calls seen by this scope cost so far.
  [[nodiscard]] Usage totals() const noexcept;

  /// The calling thread's innermost open scope, or null.
  [[nodiscard]] static UsageScope* current() noexcept;

  /// Adds one call's usage to the calling thread's open scopes (chat clients call this).
  static void record(const Usage& usage) noexcept;

 private:
  void add(const Usage& usage) noexcept;

  UsageScope* parent_;
  UsageScope* previous_;  // the thread's innermost scope before this one opened
  std::atomic<std::int64_t> calls_{0};
  std::atomic<std::int64_t> prompt_tokens_{0};
  std::atomic<std::int64_t> completion_tokens_{0};
  std::atomic<std::int64_t> nanoseconds_{0};
};

}  // namespace norvex::llm

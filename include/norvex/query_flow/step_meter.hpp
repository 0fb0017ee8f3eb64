#pragma once
/// Measuring a question step by step: each finished step's node, time and model usage, and
/// the question's totals. The progress display, the evaluation and the service share it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include "norvex/base/export.hpp"

#include "norvex/graph/state_graph.hpp"
#include "norvex/llm/usage.hpp"

namespace norvex::query_flow {

/// One finished step.
struct NORVEX_API StepReport {
  std::string_view node;
  std::chrono::nanoseconds duration{0};
  llm::Usage usage;     ///< the model calls the step made
  bool failed = false;  ///< the step ended with an error
};

/// Give observer() to QueryFlow::invoke; on_step (when set) hears of every finished step,
/// on the step's own thread. A step runs start to finish on one thread, so its usage is
/// collected in a scope of that thread. Thread rule: one question at a time per meter; its
/// steps may run on several threads at once.
class NORVEX_API StepMeter {
 public:
  using OnStep = std::function<void(const StepReport&)>;
  explicit StepMeter(OnStep on_step = {});

  /// The observer to pass to the run; valid while the meter lives.
  [[nodiscard]] graph::Observer observer();
  /// The whole question's usage so far.
  [[nodiscard]] llm::Usage usage() const noexcept { return run_scope_.totals(); }
  /// Steps finished so far.
  [[nodiscard]] std::int64_t steps() const noexcept { return steps_; }

 private:
  void on_event(const graph::NodeEvent& event);

  OnStep on_step_;
  llm::UsageScope run_scope_{nullptr};
  std::atomic<std::int64_t> steps_{0};
};

}  // namespace norvex::query_flow

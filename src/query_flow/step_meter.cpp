#include "norvex/query_flow/step_meter.hpp"

namespace norvex::query_flow {
namespace {

// The usage scope of the step running on this thread, between its start and end events.
thread_local std::unique_ptr<llm::UsageScope> step_scope;

}  // namespace

StepMeter::StepMeter(OnStep on_step) : on_step_(std::move(on_step)) {}

graph::Observer StepMeter::observer() {
  return [this](const graph::NodeEvent& event) { on_event(event); };
}

void StepMeter::on_event(const graph::NodeEvent& event) {
  if (event.kind == graph::NodeEvent::Kind::start) {
    step_scope = std::make_unique<llm::UsageScope>(&run_scope_);
    return;
  }
  StepReport report;
  report.node = event.node;
  report.duration = event.duration;
  report.failed = event.kind == graph::NodeEvent::Kind::error;
  if (step_scope) {
    report.usage = step_scope->totals();
    step_scope.reset();
  }
  ++steps_;
  if (on_step_) on_step_(report);
}

}  // namespace norvex::query_flow

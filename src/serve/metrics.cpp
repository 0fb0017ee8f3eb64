// The service's metrics in the Prometheus text exposition format.
#include <cstdio>
#include <sstream>

#include "serve_internal.hpp"

namespace norvex::serve::detail {
namespace {

std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", value);
  return buffer;
}

}  // namespace

void Metrics::count_question(std::string_view outcome) {
  std::lock_guard lock(mutex_);
  auto it = questions_.find(outcome);
  if (it == questions_.end()) it = questions_.emplace(std::string(outcome), 0).first;
  ++it->second;
}

void Metrics::observe_step(std::string_view node, std::chrono::nanoseconds duration) {
  const double seconds = std::chrono::duration<double>(duration).count();
  std::lock_guard lock(mutex_);
  auto it = steps_.find(node);
  if (it == steps_.end()) it = steps_.emplace(std::string(node), Histogram{}).first;
  Histogram& h = it->second;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++h.buckets[i];
  }
  ++h.count;
  h.sum += seconds;
}

void Metrics::add_tokens(std::int64_t prompt, std::int64_t completion) {
  std::lock_guard lock(mutex_);
  prompt_tokens_ += prompt;
  completion_tokens_ += completion;
}

void Metrics::count_request(int status) {
  std::lock_guard lock(mutex_);
  ++requests_[status];
}

std::string Metrics::render() const {
  std::lock_guard lock(mutex_);
  std::ostringstream out;
  out << "# HELP norvex_questions_total Questions by outcome.\n"
         "# TYPE norvex_questions_total counter\n";
  for (const char* outcome : {"answered", "failed", "cancelled", "refused", "rejected"}) {
    const auto it = questions_.find(std::string_view(outcome));
    out << "norvex_questions_total{outcome=\"" << outcome << "\"} "
        << (it == questions_.end() ? 0 : it->second) << '\n';
  }
  out << "# HELP norvex_step_seconds Time spent in each pipeline step.\n"
         "# TYPE norvex_step_seconds histogram\n";
  for (const auto& [node, h] : steps_) {
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      out << "norvex_step_seconds_bucket{node=\"" << node << "\",le=\"" << number(kBuckets[i])
          << "\"} " << h.buckets[i] << '\n';
    }
    out << "norvex_step_seconds_bucket{node=\"" << node << "\",le=\"+Inf\"} " << h.count << '\n'
        << "norvex_step_seconds_sum{node=\"" << node << "\"} " << number(h.sum) << '\n'
        << "norvex_step_seconds_count{node=\"" << node << "\"} " << h.count << '\n';
  }
  out << "# HELP norvex_model_tokens_total Tokens the chat models used.\n"
         "# TYPE norvex_model_tokens_total counter\n"
      << "norvex_model_tokens_total{kind=\"prompt\"} " << prompt_tokens_ << '\n'
      << "norvex_model_tokens_total{kind=\"completion\"} " << completion_tokens_ << '\n';
  out << "# HELP norvex_http_requests_total HTTP requests by status.\n"
         "# TYPE norvex_http_requests_total counter\n";
  for (const auto& [status, count] : requests_) {
    out << "norvex_http_requests_total{status=\"" << status << "\"} " << count << '\n';
  }
  return out.str();
}

}  // namespace norvex::serve::detail

#include "norvex/llm/usage.hpp"

namespace norvex::llm {
namespace {

thread_local UsageScope* innermost = nullptr;

}  // namespace

Usage& Usage::operator+=(const Usage& other) noexcept {
  calls += other.calls;
  prompt_tokens += other.prompt_tokens;
  completion_tokens += other.completion_tokens;
  time += other.time;
  return *this;
}

UsageScope::UsageScope() : UsageScope(innermost) {}

UsageScope::UsageScope(UsageScope* parent) : parent_(parent), previous_(innermost) {
  innermost = this;
}

UsageScope::~UsageScope() {
  // Scopes close in reverse order of opening on their thread (they are RAII objects).
  innermost = previous_;
}

Usage UsageScope::totals() const noexcept {
  Usage u;
  u.calls = calls_.load(std::memory_order_relaxed);
  u.prompt_tokens = prompt_tokens_.load(std::memory_order_relaxed);
  u.completion_tokens = completion_tokens_.load(std::memory_order_relaxed);
  u.time = std::chrono::nanoseconds(nanoseconds_.load(std::memory_order_relaxed));
  return u;
}

UsageScope* UsageScope::current() noexcept {
  return innermost;
}

void UsageScope::record(const Usage& usage) noexcept {
  for (UsageScope* scope = innermost; scope != nullptr; scope = scope->parent_) {
    scope->add(usage);
  }
}

void UsageScope::add(const Usage& usage) noexcept {
  calls_.fetch_add(usage.calls, std::memory_order_relaxed);
  prompt_tokens_.fetch_add(usage.prompt_tokens, std::memory_order_relaxed);
  completion_tokens_.fetch_add(usage.completion_tokens, std::memory_order_relaxed);
  nanoseconds_.fetch_add(usage.time.count(), std::memory_order_relaxed);
}

}  // namespace norvex::llm

#pragma once
// The service's parts that tests and the server share but users do not need: token lookup,
// the metrics registry and the built-in assets.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/serve/serve.hpp"

namespace norvex::serve::detail {

/// True when the texts are equal; takes the same time for any mismatch of the same lengths.
bool same_secret(std::string_view presented, std::string_view secret) noexcept;
/// The token whose secret is `presented`, or null; compares against every token.
const Token* find_token(const std::vector<Token>& tokens, std::string_view presented) noexcept;

/// The page and the API description, built into the library.
extern const std::string_view kIndexHtml;
extern const std::string_view kOpenApiJson;

/// Counters, gauges and histograms in the Prometheus text format.
/// Thread rule: every member may be called from any thread.
class Metrics {
 public:
  static constexpr std::array<double, 13> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                      1,     2.5,  5,     10,   30,  60};

  void count_question(std::string_view outcome);
  void observe_step(std::string_view node, std::chrono::nanoseconds duration);
  void add_tokens(std::int64_t prompt, std::int64_t completion);
  void count_request(int status);
  /// The counters and histograms; gauges are appended by the caller.
  [[nodiscard]] std::string render() const;

 private:
  struct Histogram {
    std::array<std::uint64_t, kBuckets.size()> buckets{};
    std::uint64_t count = 0;
    double sum = 0;
  };
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t, std::less<>> questions_;
  std::map<std::string, Histogram, std::less<>> steps_;
  std::map<int, std::uint64_t> requests_;
  std::int64_t prompt_tokens_ = 0;
  std::int64_t completion_tokens_ = 0;
};

}  // namespace norvex::serve::detail

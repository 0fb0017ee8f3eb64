#pragma once
// What several benchmarks share: a chat-completion service on 127.0.0.1 that answers from a
// script after a set delay, the sample shop's best-seller question scripted for it, and the
// project's sample shop database made once per program.

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "norvex/llm/settings.hpp"

namespace norvex::bench {

using Json = nlohmann::ordered_json;

/// The answer to one request: the fields of the record it asks for, or for a plain request
/// (record ""), a text. `request_body` is the request as sent.
using ScriptedAnswer =
    std::function<Json(const std::string& record, const std::string& request_body)>;

/// Thread rule: the answer is called from the server's threads at once.
class ScriptedChatServer {
 public:
  struct Options {
    int threads = 32;
    int prompt_tokens = 100;  // reported as each call's usage
    int completion_tokens = 10;
  };
  ScriptedChatServer(ScriptedAnswer answer, Options options);
  explicit ScriptedChatServer(ScriptedAnswer answer) : ScriptedChatServer(std::move(answer), {}) {}
  ~ScriptedChatServer();
  ScriptedChatServer(const ScriptedChatServer&) = delete;
  ScriptedChatServer& operator=(const ScriptedChatServer&) = delete;

  [[nodiscard]] std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
  /// Both tiers on this server, as an OpenAI-compatible provider, with a generous time-out.
  [[nodiscard]] llm::AzureOpenAIChat35 small() const;
  [[nodiscard]] llm::AzureOpenAIChat4 large() const;

  std::atomic<int> delay_ms{0};  // before each answer
  std::atomic<long> calls{0};

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

/// The sample shop's best-seller query.
inline constexpr const char* kShopQuery =
    "SELECT p.name AS product, SUM(oi.quantity) AS units_sold FROM order_items AS oi JOIN orders "
    "AS o ON o.order_id = oi.order_id JOIN products AS p ON p.product_id = oi.product_id WHERE "
    "o.status <> 'cancelled' GROUP BY p.product_id, p.name ORDER BY units_sold DESC LIMIT 5";

/// The best-seller question answered step by step, with `code` as the analysis code.
[[nodiscard]] Json shop_answer(const std::string& record, const std::string& code);

/// The project's sample shop, made once per program in a temporary folder that is removed at
/// exit (with `script`, examples/make_sample_store.sh).
struct SampleShop {
  std::filesystem::path dir;
  std::string uri;
};
const SampleShop& sample_shop(const std::string& script);

}  // namespace norvex::bench

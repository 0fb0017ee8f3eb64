#pragma once
// A fake chat-completion service on 127.0.0.1: answers come from a script (a queue) or a
// callback, and every request is recorded with its headers and parsed JSON body, so tests
// can assert exactly what a client sent. It speaks the OpenAI wire format on any POST path,
// so it stands in for Azure deployments and OpenAI-compatible servers alike.

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/local_http_server.hpp"

namespace norvex::test {

using Json = nlohmann::ordered_json;

/// One request as the server received it.
struct RecordedRequest {
  std::string method;
  std::string path;                            ///< without the query, percent-decoded
  std::string target;                          ///< the request line's target, as sent
  std::map<std::string, std::string> params;   ///< query parameters
  std::map<std::string, std::string> headers;  ///< names in lower case
  std::string body;
  Json json;  ///< the parsed body; discarded (is_discarded()) when it is not JSON

  /// The header's value, or "" when absent (name in any case).
  [[nodiscard]] std::string header(const std::string& name) const;
  /// True when the header was sent (name in any case).
  [[nodiscard]] bool has_header(const std::string& name) const;
  /// The "messages" of the body as (role, content) pairs.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> messages() const;
  /// The content of the last message, "" when there is none.
  [[nodiscard]] std::string last_message() const;
  /// The record a structured request asks for (the forced tool's name or the JSON-schema
  /// response format's name); "" for a plain chat request.
  [[nodiscard]] std::string requested_record() const;
};

/// What the server answers to one request.
struct ScriptedAnswer {
  int status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::milliseconds delay{0};  ///< wait this long before answering

  /// The same answer, sent after `wait`.
  ScriptedAnswer after(std::chrono::milliseconds wait) && {
    delay = wait;
    return std::move(*this);
  }
  /// The same answer with one more header.
  ScriptedAnswer with_header(std::string name, std::string value) && {
    headers.emplace_back(std::move(name), std::move(value));
    return std::move(*this);
  }
};

/// Token counts a scripted completion reports under "usage".
struct FakeUsage {
  int prompt_tokens = 11;
  int completion_tokens = 7;
};

/// Thread rule: scripting and inspection may happen from any thread while clients call.
class FakeChatServer {
 public:
  using Handler = std::function<ScriptedAnswer(const RecordedRequest&)>;

  /// Starts serving on a free loopback port.
  FakeChatServer();
  ~FakeChatServer();
  FakeChatServer(const FakeChatServer&) = delete;
  FakeChatServer& operator=(const FakeChatServer&) = delete;

  /// "http://127.0.0.1:<port>" (an Azure endpoint).
  [[nodiscard]] std::string base_url() const { return http_.base_url(); }
  /// "http://127.0.0.1:<port>/v1" (an OpenAI-compatible base address).
  [[nodiscard]] std::string openai_base_url() const { return base_url() + "/v1"; }
  [[nodiscard]] int port() const { return http_.port(); }

  /// Queues answers; each request takes the next one.
  FakeChatServer& push(ScriptedAnswer answer);
  /// Decides the answers of requests that find the queue empty. Without a callback such a
  /// request gets a 500 error saying the script ran out.
  void on_request(Handler handler);

  /// Every request so far, in arrival order.
  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  [[nodiscard]] std::size_t request_count() const;
  /// The most recent request. Throws std::logic_error when there was none.
  [[nodiscard]] RecordedRequest last_request() const;
  /// Forgets requests, queued answers and the callback.
  void reset();

  // Answers in the OpenAI wire format.
  /// A completion whose message holds `content`.
  static ScriptedAnswer text(const std::string& content, FakeUsage usage = {});
  /// A completion whose message calls `function` with `arguments` (sent as a JSON text).
  static ScriptedAnswer tool_call(const std::string& function, const Json& arguments,
                                  FakeUsage usage = {});
  /// A tool call whose arguments text is `arguments_text` verbatim (e.g. broken JSON).
  static ScriptedAnswer tool_call_raw(const std::string& function,
                                      const std::string& arguments_text, FakeUsage usage = {});
  /// A completion whose text is `value` serialised.
  static ScriptedAnswer json_text(const Json& value, FakeUsage usage = {});
  /// The record `fields` answered the way `request` asked: as a call of the forced tool, or
  /// as JSON text for a response-format (or plain) request.
  static ScriptedAnswer record(const RecordedRequest& request, const Json& fields,
                               FakeUsage usage = {});
  /// An error status with {"error": {"code", "message"}}.
  static ScriptedAnswer error(int status, const std::string& message,
                              const std::string& code = "error");
  /// 429 with a Retry-After header of `seconds`.
  static ScriptedAnswer rate_limited(int seconds,
                                     const std::string& message = "Rate limit is exceeded.");
  /// Any status and body, sent as application/json (use it for malformed answers).
  static ScriptedAnswer raw(int status, std::string body);

 private:
  ScriptedAnswer answer_for(const RecordedRequest& request);

  LocalHttpServer http_;
  mutable std::mutex mutex_;
  std::condition_variable stopping_cv_;
  bool stopping_ = false;
  std::deque<ScriptedAnswer> queue_;
  Handler handler_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace norvex::test

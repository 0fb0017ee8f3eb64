#pragma once
// Shared by the stage tests: a Chinook SQLite facade, chat models served by the fake chat
// server with scripted records, states over the pipeline schema and captured log lines.

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "norvex/flow_stages/flow_stages.hpp"
#include "norvex/llm/llm.hpp"
#include "norvex/sql/database.hpp"
#include "support/chinook_sqlite.hpp"
#include "support/fake_chat_server.hpp"

namespace norvex::flow_stages::testing {

using graph::Json;
using Messages = std::vector<std::pair<std::string, std::string>>;

/// A state over the pipeline schema seeded with `input`.
inline graph::State make_state(const Json& input = Json::object()) {
  return graph::State(sql_state_schema(), input);
}

/// `state` with `update` merged.
inline graph::State merged(graph::State state, const graph::Update& update) {
  state.merge(update);
  return state;
}

/// Messages as the (role, content) pairs of the wire format.
inline Messages wire(const std::vector<prompts::Message>& messages) {
  Messages out;
  for (const auto& m : messages) {
    out.emplace_back(m.role == prompts::Role::human    ? "user"
                     : m.role == prompts::Role::system ? "system"
                                                       : "assistant",
                     m.content);
  }
  return out;
}

/// Collects the stages' log lines while alive.
class LogCapture {
 public:
  LogCapture() {
    set_log_sink([this](std::string_view level, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::string(level) + " " + std::string(message));
    });
  }
  ~LogCapture() { set_log_sink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class StageTest : public ::testing::Test {
 protected:
  StageTest() {
    server_.on_request([this](const test::RecordedRequest& request) {
      std::lock_guard lock(mutex_);
      if (answers_.empty()) return test::FakeChatServer::error(500, "script ran out");
      auto next = std::move(answers_.front());
      answers_.pop_front();
      if (next.is_string()) return test::FakeChatServer::text(next.get<std::string>());
      return test::FakeChatServer::record(request, next);
    });
  }

  /// Queues the answer of the next request: an object is a record, a string plain text.
  void answer(Json fields) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(fields));
  }

  /// A chat model served by the fake server (the graph's settings: temperature 0, top_p).
  std::shared_ptr<llm::ChatModel> model(int port = 0) {
    llm::AzureOpenAIChat35 settings;
    settings.azure_deployment = "gpt-35";
    settings.azure_endpoint =
        port == 0 ? server_.base_url() : "http://127.0.0.1:" + std::to_string(port);
    settings.api_key = "test-key-0123456789abcdef";
    settings.api_version = "2024-06-01";
    settings.options.max_retries = 0;
    settings.options.connect_timeout = std::chrono::milliseconds(2'000);
    settings.options.request_timeout = std::chrono::milliseconds(10'000);
    return llm::make_chat_model(settings, 4096, 0.0, Json{{"top_p", 0.95}});
  }

  /// The (role, content) pairs of request `index`.
  Messages sent(std::size_t index) const { return server_.requests().at(index).messages(); }

  static std::shared_ptr<sql::CustomSQLDatabase> chinook() {
    static const auto db = sql::CustomSQLDatabase::from_uri(test::chinook_sqlite_uri());
    return db;
  }

  test::FakeChatServer server_;
  std::shared_ptr<sql::CustomSQLDatabase> db_ = chinook();

 private:
  std::mutex mutex_;
  std::deque<Json> answers_;
};

}  // namespace norvex::flow_stages::testing

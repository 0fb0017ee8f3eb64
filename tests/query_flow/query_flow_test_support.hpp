#pragma once
// Shared by the query flow tests: a scripted chat service that answers each pipeline step by
// the record it asks for, settings aimed at it (the smaller model as an Azure deployment, the
// larger one as an OpenAI-compatible server), and the Chinook databases of every engine.

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "norvex/llm/settings.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"
#include "sql_test_support.hpp"
#include "support/fake_chat_server.hpp"

namespace norvex::query_flow::test {

using norvex::test::FakeChatServer;
using norvex::test::RecordedRequest;
using Json = nlohmann::ordered_json;

inline constexpr const char* kSmallDeployment = "small-35";
inline constexpr const char* kBigModel = "big-4";

/// Answers the pipeline's requests from per-step scripts. Queues that run dry repeat their
/// last entry, so a test scripts only what differs from the happy path.
class ScriptedPipeline {
 public:
  ScriptedPipeline();

  std::vector<std::string> relevant_tables = {"Album", "Artist"};
  std::deque<std::string> sql_queries;   // SQLQueryInput answers, in order
  std::deque<std::string> pandas_codes;  // PythonCodeInput answers, in order
  std::string rewritten_question = "Which artists have the most albums in table Album?";
  std::string final_response = "AC/DC leads.";
  std::string image_path = "chart.png";
  /// Overrides the answer to one record ("" = the query checker) when set.
  std::function<std::optional<norvex::test::ScriptedAnswer>(const RecordedRequest&)> override;

  FakeChatServer& server() { return server_; }
  /// Requests that asked for `record` ("" for the query checker's plain requests).
  [[nodiscard]] std::vector<RecordedRequest> requests_for(const std::string& record) const;

  [[nodiscard]] llm::AzureOpenAIChat35 small_settings() const;
  [[nodiscard]] llm::AzureOpenAIChat4 big_settings() const;

 private:
  norvex::test::ScriptedAnswer answer(const RecordedRequest& request);

  FakeChatServer server_;
  std::mutex mutex_;
  std::string last_sql_;
};

/// Quick client options: no retries, short time-outs.
llm::ClientOptions quick_options();

/// A database engine loaded with Chinook: an entry of the shared table.
using Engine = sql::test::ChinookEngine;

/// SQLite, MariaDB and PostgreSQL, in this order.
std::vector<Engine> engines();
/// The SQLite engine (always available).
const Engine& sqlite_engine();

/// Artists by album count, five rows, spelled for the engine's names.
std::string top_artists_query(const Engine& engine);

/// A fresh folder for charts, removed at exit.
std::filesystem::path save_dir();

/// Analysis code that draws a bar chart of the query's rows into `dir`/chart.png and prints
/// a summary line.
std::string chart_code(const std::filesystem::path& dir);

}  // namespace norvex::query_flow::test

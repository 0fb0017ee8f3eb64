// One whole question through QueryFlow on SQLite Chinook, warm, with chat answers replayed
// from a cassette (a model with no latency) and a trivial analysis snippet. The time of a
// question is split into model calls, database, analysis and everything else (the engine,
// prompts, state merging: the pipeline's own overhead), and the prompt size of each stage is
// reported.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "norvex/flow_stages/flow_stages.hpp"
#include "norvex/llm/llm.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"

#include "scripted_chat.hpp"

namespace {

namespace fs = std::filesystem;
using norvex::llm::Json;
using Clock = std::chrono::steady_clock;

constexpr const char* kQuery =
    "SELECT ar.Name, COUNT(*) AS albums FROM Album al JOIN Artist ar ON ar.ArtistId = "
    "al.ArtistId GROUP BY ar.Name ORDER BY albums DESC, ar.Name LIMIT 5";

fs::path chinook_script() {
  const char* dir = std::getenv("NORVEX_CHINOOK_DIR");
  return fs::path(dir != nullptr ? dir : NORVEX_DEFAULT_CHINOOK_DIR) / "chinook_sqlite.sql";
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The answers of a recording run: Chinook's question, step by step.
norvex::bench::Json chinook_answer(const std::string& record, const std::string&) {
  if (record.empty()) return kQuery;  // the query checker: nothing to change
  if (record == "RelevantTablesOutput") return {{"relevant_tables", {"Album", "Artist"}}};
  if (record == "SQLQueryInput") return {{"sql_query", kQuery}};
  if (record == "PythonCodeInput") return {{"code", "print(21 * 2)"}};
  if (record == "GenerationOutput") {
    return {{"image_path", ""}, {"final_response", "Iron Maiden has the most albums."}};
  }
  return norvex::bench::Json::object();
}

struct Fixture {
  fs::path dir;
  fs::path cassette;
  std::shared_ptr<norvex::sql::CustomSQLDatabase> db;
  Json inputs;
};

// Builds Chinook, records one question's chat exchanges, and returns what the timed runs use.
Fixture prepare() {
  Fixture f;
  std::string pattern = (fs::temp_directory_path() / "norvex-qf-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  f.dir = pattern;
  const fs::path file = f.dir / "chinook.db";
  sqlite3* raw = nullptr;
  sqlite3_open(file.c_str(), &raw);
  char* error = nullptr;
  const int rc = sqlite3_exec(raw, read_file(chinook_script()).c_str(), nullptr, nullptr, &error);
  sqlite3_free(error);
  sqlite3_close(raw);
  if (rc != SQLITE_OK)
    throw std::runtime_error("cannot build Chinook from " + chinook_script().string());
  f.db = norvex::sql::CustomSQLDatabase::from_uri("sqlite:///" + file.string());
  f.cassette = f.dir / "question.jsonl";
  f.inputs = {{"user_question", "Which artists have the most albums?"},
              {"save_path", (f.dir / "media").string()}};

  norvex::bench::ScriptedChatServer server(chinook_answer,
                                           {.prompt_tokens = 0, .completion_tokens = 0});
  norvex::llm::AzureOpenAIChat35 small = server.small();
  small.record_to = f.cassette.string();
  norvex::llm::AzureOpenAIChat4 big;
  static_cast<norvex::llm::ModelSettings&>(big) = small;
  const norvex::query_flow::QueryFlow flow(f.db, small, big);
  (void)flow.invoke(f.inputs);
  return f;
}

// The time the replayed model calls of one question take on their own.
std::chrono::nanoseconds replay_model_time(const fs::path& cassette, const std::string& save_path) {
  namespace stages = norvex::flow_stages;
  const std::map<std::string, const norvex::llm::RecordSchema*> schemas = {
      {"RelevantTablesOutput", &stages::RelevantTablesOutput::schema()},
      {"SQLQueryInput", &stages::SQLQueryInput::schema()},
      {"PythonCodeInput", &stages::PythonCodeInput::schema()},
      {"GenerationOutput", &stages::GenerationOutput::schema()},
      {"RewriteQueryOutput", &stages::RewriteQueryOutput::schema()}};
  std::vector<std::pair<std::string, std::vector<norvex::prompts::Message>>> calls;
  std::ifstream in(cassette);
  for (std::string line; std::getline(in, line);) {
    const Json exchange = Json::parse(line);
    std::vector<norvex::prompts::Message> messages;
    for (const auto& m : exchange["messages"]) {
      std::string content = m["content"];
      for (std::size_t at; (at = content.find("{save_path}")) != std::string::npos;) {
        content.replace(at, 11, save_path);
      }
      messages.push_back({norvex::prompts::parse_role(m["role"].get<std::string>()), content});
    }
    calls.emplace_back(exchange["record"], std::move(messages));
  }
  norvex::llm::ReplayChatModel model(cassette);
  model.set_save_path(save_path);
  const auto start = Clock::now();
  for (const auto& [record, messages] : calls) {
    if (record == norvex::llm::kTextExchange) {
      benchmark::DoNotOptimize(model.invoke(messages));
    } else {
      benchmark::DoNotOptimize(model.invoke_record(*schemas.at(record), messages));
    }
  }
  return Clock::now() - start;
}

// Removes the benchmark's folder when the program ends.
struct RemoveAtExit {
  fs::path dir;
  ~RemoveAtExit() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

void BM_QuestionSqliteReplayedModel(benchmark::State& state) {
  // The stages' three log lines are still formatted, but kept off the report's terminal.
  norvex::flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  static const Fixture f = prepare();
  static const RemoveAtExit cleanup{f.dir};
  norvex::llm::AzureOpenAIChat35 small;
  small.provider = norvex::llm::Provider::replay;
  small.cassette = f.cassette.string();
  norvex::llm::AzureOpenAIChat4 big;
  static_cast<norvex::llm::ModelSettings&>(big) = small;

  using std::chrono::nanoseconds;
  nanoseconds total{0}, model{0}, database{0}, analysis{0};
  const std::set<std::string> database_nodes = {"table_names_lookup_node", "relevant_schemas_node",
                                                "sql_execution_node"};
  // The iteration time is the pipeline's own share (manual time): the whole question minus
  // its model calls, database work and analysis run, each measured alongside.
  for (auto _ : state) {
    // Replayed models use each recorded exchange once: a fresh flow per question.
    auto flow = std::make_unique<norvex::query_flow::QueryFlow>(f.db, small, big);
    nanoseconds db_nodes{0}, executor{0};
    std::mutex mutex;
    auto observer = [&](const norvex::graph::NodeEvent& event) {
      if (event.kind != norvex::graph::NodeEvent::Kind::finish) return;
      std::lock_guard lock(mutex);
      if (database_nodes.count(std::string(event.node)) != 0) db_nodes += event.duration;
      if (event.node == "pandas_executor_node") executor += event.duration;
    };

    const auto start = Clock::now();
    const Json result = flow->invoke(f.inputs, observer);
    const auto elapsed = Clock::now() - start;

    if (!result.contains("final_response")) state.SkipWithError("the question was not answered");
    // The picker's own table list read is database time too.
    const auto list_start = Clock::now();
    benchmark::DoNotOptimize(f.db->get_usable_table_names());
    const nanoseconds db_time = db_nodes + (Clock::now() - list_start);
    const nanoseconds model_time = replay_model_time(f.cassette, f.inputs["save_path"]);
    const nanoseconds other = elapsed - db_time - model_time - executor;
    state.SetIterationTime(std::chrono::duration<double>(other).count());
    database += db_time;
    analysis += executor;
    model += model_time;
    total += elapsed;
  }
  const double n = static_cast<double>(state.iterations());
  const auto us = [n](nanoseconds t) { return static_cast<double>(t.count()) / 1e3 / n; };
  state.counters["model_us"] = us(model);
  state.counters["database_us"] = us(database);
  state.counters["analysis_us"] = us(analysis);
  state.counters["other_us"] = us(total - model - database - analysis);
  state.counters["question_us"] = us(total);

  // Prompt size per stage: characters sent, and tokens estimated at four characters each.
  std::map<std::string, std::size_t> chars;
  std::ifstream in(f.cassette);
  for (std::string line; std::getline(in, line);) {
    const Json exchange = Json::parse(line);
    for (const auto& m : exchange["messages"]) {
      chars[exchange["record"].get<std::string>()] += m["content"].get<std::string>().size();
    }
  }
  std::size_t all = 0;
  for (const auto& [record, count] : chars) {
    const std::string stage = record == norvex::llm::kTextExchange ? "SQLChecker" : record;
    state.counters["chars_" + stage] = static_cast<double>(count);
    state.counters["tokens_" + stage] = static_cast<double>(count) / 4;
    all += count;
  }
  state.counters["chars_question"] = static_cast<double>(all);
  state.counters["tokens_question"] = static_cast<double>(all) / 4;
}
BENCHMARK(BM_QuestionSqliteReplayedModel)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(300);

}  // namespace

BENCHMARK_MAIN();

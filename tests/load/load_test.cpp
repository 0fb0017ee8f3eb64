// One agent under load: 8 threads asking 25 questions each must get back exactly their own
// SQL, analysis code, analysis output and answer; 200 questions in a row must not make the
// process grow. Every question carries a marker "qid-<thread>-<n>" that the fake model keys
// its answers on, so any answer crossing over between runs shows up as a wrong marker.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "norvex/agent/agent.hpp"
#include "sql_test_support.hpp"
#include "support/chinook_sqlite.hpp"
#include "support/fake_chat_server.hpp"
#include "support/servers.hpp"

namespace norvex::agent {
namespace {

using norvex::test::FakeChatServer;
using norvex::test::RecordedRequest;
using norvex::test::ScriptedAnswer;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr std::chrono::milliseconds kModelLatency{3};

std::string marker(int thread, int n) {
  return "qid-" + std::to_string(thread) + "-" + std::to_string(n);
}

// The row count each question's SQL must return, different for every question.
int expected_count(int thread, int n) {
  return 1 + thread * 25 + n;
}

std::string question_for(int thread, int n) {
  return "Question " + marker(thread, n) + ": how many tracks have an id up to " +
         std::to_string(expected_count(thread, n)) + "?";
}

/// The engine under test, whose spelling of Chinook's names the statements use.
const sql::test::ChinookEngine*& engine_under_test() {
  static const sql::test::ChinookEngine* engine = &sql::test::chinook_engine("sqlite");
  return engine;
}

std::string spelled(const std::string& pascal) {
  return engine_under_test()->spell(pascal);
}

std::string sql_for(int thread, int n) {
  return "SELECT '" + marker(thread, n) + "' AS marker, COUNT(*) AS tracks FROM " +
         spelled("Track") + " WHERE " + spelled("TrackId") +
         " <= " + std::to_string(expected_count(thread, n));
}

// The printed text is computed, so it is in the analysis output but not in the code itself.
std::string code_for(int thread, int n) {
  return "print('OUT-' + '" + marker(thread, n) + "'.upper())";
}

std::string printed_by(int thread, int n) {
  return "OUT-" + std::string("QID-") + std::to_string(thread) + "-" + std::to_string(n);
}

/// Answers every step of a question by the marker its request carries; the final answer
/// lists every analysis output the response prompt showed, so mixing is visible in it.
ScriptedAnswer answer_by_marker(const RecordedRequest& request) {
  static const std::regex marker_pattern("qid-(\\d+)-(\\d+)");
  static const std::regex printed_pattern("OUT-QID-\\d+-\\d+");
  std::smatch match;
  if (!std::regex_search(request.body, match, marker_pattern)) {
    return FakeChatServer::error(400, "a request without a question marker");
  }
  const int thread = std::stoi(match[1]);
  const int n = std::stoi(match[2]);
  const std::string record = request.requested_record();
  ScriptedAnswer answer;
  if (record == "RelevantTablesOutput") {
    answer = FakeChatServer::record(request, {{"relevant_tables", {spelled("Track")}}});
  } else if (record == "SQLQueryInput") {
    answer = FakeChatServer::record(request, {{"sql_query", sql_for(thread, n)}});
  } else if (record == "PythonCodeInput") {
    answer = FakeChatServer::record(request, {{"code", code_for(thread, n)}});
  } else if (record == "RewriteQueryOutput") {
    answer = FakeChatServer::record(request, {{"rewritten_question", question_for(thread, n)}});
  } else if (record == "GenerationOutput") {
    std::string seen;
    for (auto it = std::sregex_iterator(request.body.begin(), request.body.end(), printed_pattern);
         it != std::sregex_iterator(); ++it) {
      seen += (seen.empty() ? "" : ",") + it->str();
    }
    answer = FakeChatServer::record(
        request, {{"image_path", ""},
                  {"final_response", "Answer to " + marker(thread, n) + "; analysis: " + seen}});
  } else {
    // The query checker finds nothing to change.
    answer = FakeChatServer::text("```sql\n" + sql_for(thread, n) + "\n```");
  }
  return std::move(answer).after(kModelLatency);
}

llm::ClientOptions load_options() {
  llm::ClientOptions o;
  o.max_retries = 0;
  o.connect_timeout = std::chrono::milliseconds(5'000);
  o.request_timeout = std::chrono::milliseconds(30'000);
  return o;
}

std::vector<llm::ModelSettings> records_for(const FakeChatServer& server) {
  llm::ModelSettings small;
  small.model = "GPT-3.5";
  small.provider = llm::Provider::azure;
  small.azure_deployment = "small-35";
  small.azure_endpoint = server.base_url();
  small.api_key = "load-test-key";
  small.api_version = "2024-06-01";
  small.options = load_options();
  llm::ModelSettings big;
  big.model = "GPT-4o";
  big.provider = llm::Provider::openai;
  big.azure_deployment = "big-4";
  big.azure_endpoint = server.openai_base_url();
  big.api_key = "none";
  big.options = load_options();
  return {small, big};
}

/// What is wrong with `result` as the answer to question (thread, n); "" when nothing.
std::string check_answer(const Json& result, int thread, int n) {
  const std::string expected_output =
      "Answer to " + marker(thread, n) + "; analysis: " + printed_by(thread, n);
  if (result.value("output", Json()) != expected_output) return "output " + result.dump();
  if (result["python_code"] != code_for(thread, n)) return "code " + result.dump();
  if (result["generated_query"] != Json::array({sql_for(thread, n)})) {
    return "query " + result.dump();
  }
  const std::string rows = result["sql_execution_result"].dump();
  if (rows.find("'" + marker(thread, n) + "', " + std::to_string(expected_count(thread, n))) ==
      std::string::npos) {
    return "rows " + rows;
  }
  return "";
}

long resident_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

class OneAgentUnderLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.on_request(answer_by_marker);
    CaptureStdout();
    agent_ = create_agent_from_uri(norvex::test::chinook_sqlite_uri(), records_for(server_));
    GetCapturedStdout();
    ASSERT_NE(agent_, nullptr);
    media_ = norvex::test::scratch_dir() / "load_media";
  }

  Json ask(int thread, int n) { return run_agent(*agent_, question_for(thread, n), media_); }

  FakeChatServer server_;
  std::unique_ptr<query_flow::QueryFlow> agent_;
  std::filesystem::path media_;
};

TEST_F(OneAgentUnderLoad, EightThreadsEachGetTheirOwnAnswers) {
  constexpr int kThreads = 8;
  constexpr int kQuestions = 25;
  std::vector<std::vector<std::string>> faults(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  // run_agent prints only on failure; a failure then shows up in `faults` as well.
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int n = 0; n < kQuestions; ++n) {
        try {
          const std::string fault = check_answer(ask(t, n), t, n);
          if (!fault.empty()) faults[t].push_back(marker(t, n) + ": " + fault);
        } catch (const std::exception& error) {
          faults[t].push_back(marker(t, n) + " threw: " + error.what());
        }
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  go = true;
  for (auto& thread : threads) thread.join();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("[ figures  ] %d questions on %d threads in %.1f s\n", kThreads * kQuestions,
              kThreads, took.count());

  std::size_t total = 0;
  for (const auto& list : faults) {
    total += list.size();
    for (std::size_t i = 0; i < list.size() && i < 3; ++i) ADD_FAILURE() << list[i];
  }
  EXPECT_EQ(total, 0u);
  // Five model calls a question, no repairs.
  EXPECT_EQ(server_.request_count(), static_cast<std::size_t>(kThreads * kQuestions * 5));
}

TEST(OneRecordingAgentUnderLoad, EveryRunRecordsItsOwnSavePathAsThePlaceholder) {
  // Runs with different media folders at once: each recorded exchange must have its own
  // run's folder replaced by the placeholder, never another run's (or none).
  FakeChatServer server;
  server.on_request(answer_by_marker);
  const auto dir = norvex::test::scratch_dir();
  const auto cassette = dir / "recorded.jsonl";
  auto records = records_for(server);
  for (auto& record : records) record.record_to = cassette.string();
  CaptureStdout();
  const auto agent = create_agent_from_uri(norvex::test::chinook_sqlite_uri(), records);
  GetCapturedStdout();
  ASSERT_NE(agent, nullptr);
  constexpr int kThreads = 4;
  constexpr int kQuestions = 5;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kQuestions; ++n) {
        const auto media = dir / ("media_of_thread_" + std::to_string(t));
        if (!check_answer(run_agent(*agent, question_for(t, n), media), t, n).empty()) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  std::ifstream in(cassette);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    EXPECT_EQ(line.find("media_of_thread_"), std::string::npos) << "line " << lines;
  }
  EXPECT_EQ(lines, kThreads * kQuestions * 5);
}

TEST_F(OneAgentUnderLoad, ResidentMemoryStaysFlatOverTwoHundredQuestions) {
  // The fake server keeps every request; forgetting them now and then keeps its own growth
  // out of the figure.
  const auto forget_requests = [&] {
    server_.reset();
    server_.on_request(answer_by_marker);
  };
  for (int n = 0; n < 20; ++n) ASSERT_EQ(check_answer(ask(0, n), 0, n), "");
  // The check itself tells questions apart: another question's answer is refused.
  ASSERT_NE(check_answer(ask(0, 1), 0, 2), "");
  forget_requests();
  const long before = resident_kb();
  for (int n = 0; n < 200; ++n) {
    const int thread = 1 + n / 25;  // markers of every "thread", one after another
    ASSERT_EQ(check_answer(ask(thread, n % 25), thread, n % 25), "");
    if (n % 20 == 19) forget_requests();
  }
  const long after = resident_kb();
  ASSERT_GT(before, 0);
  std::printf(
      "[ figures  ] VmRSS %.1f MB after warm-up, %.1f MB after 200 questions: "
      "growth %ld kB\n",
      before / 1024.0, after / 1024.0, after - before);
  RecordProperty("rss_growth_kb", static_cast<int>(after - before));
  EXPECT_LT(after - before, 50L * 1024)
      << "resident memory grew by " << (after - before) << " kB over 200 questions";
}

// The same concurrent questions on the database servers: every question's statements run
// on a pooled connection of its own, and the answers still never cross.
class ConcurrentQuestionsOnAServer : public testing::TestWithParam<std::string> {};

TEST_P(ConcurrentQuestionsOnAServer, EachThreadGetsItsOwnAnswers) {
  engine_under_test() = &sql::test::chinook_engine(GetParam());
  const auto uri = engine_under_test()->uri();
  if (!uri) NORVEX_SKIP_OR_FAIL(GetParam() + " test server is not running");
  FakeChatServer chat;
  chat.on_request(answer_by_marker);
  CaptureStdout();
  const auto agent = create_agent_from_uri(*uri, records_for(chat));
  GetCapturedStdout();
  ASSERT_NE(agent, nullptr);
  const auto media = norvex::test::scratch_dir() / "server_media";
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::vector<std::string> faults(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < 3; ++n) {
        const std::string fault = check_answer(run_agent(*agent, question_for(t, n), media), t, n);
        if (!fault.empty()) faults[t] += marker(t, n) + ": " + fault + "\n";
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& fault : faults) EXPECT_EQ(fault, "");
}

INSTANTIATE_TEST_SUITE_P(Engines, ConcurrentQuestionsOnAServer,
                         testing::Values("mariadb", "postgresql"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace norvex::agent

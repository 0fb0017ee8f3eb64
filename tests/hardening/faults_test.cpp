// Faults around whole questions: a chat service that fails in every way it can, analysis
// code that misbehaves, a media folder that cannot be made, a broken model configuration
// and a wrong database password. A faulty question ends in an answer or the error record,
// never a crash or a hang, no key shows anywhere, and the next question works.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "norvex/agent/entry_points.hpp"
#include "norvex/agent/model_config.hpp"
#include "norvex/error.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"
#include "query_flow_test_support.hpp"
#include "sql_test_support.hpp"
#include "support/chinook_sqlite.hpp"
#include "support/fake_chat_server.hpp"
#include "support/servers.hpp"

namespace norvex::hardening {
namespace {

using norvex::query_flow::test::ScriptedPipeline;
using norvex::test::FakeChatServer;
using norvex::test::RecordedRequest;
using norvex::test::ScriptedAnswer;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr const char* kTopArtists =
    "SELECT ar.Name, COUNT(*) AS albums FROM Album al JOIN Artist ar ON ar.ArtistId = "
    "al.ArtistId GROUP BY ar.Name ORDER BY albums DESC LIMIT 5";
constexpr const char* kKeyFragment = "test-key";  // both tiers' keys begin with it
constexpr int kRetries = 2;

struct Outcome {
  agent::Json result;
  std::string out;
  std::string err;
};

class FaultyQuestion : public ::testing::Test {
 protected:
  void SetUp() override {
    llm::AzureOpenAIChat35 small = pipeline_.small_settings();
    llm::AzureOpenAIChat4 big = pipeline_.big_settings();
    for (llm::ModelSettings* s :
         {static_cast<llm::ModelSettings*>(&small), static_cast<llm::ModelSettings*>(&big)}) {
      s->options.max_retries = kRetries;
      s->options.request_timeout = std::chrono::milliseconds(700);
    }
    db_ = sql::CustomSQLDatabase::from_uri("sqlite:///" + sql::test::chinook_sqlite().string());
    flow_ = std::make_unique<query_flow::QueryFlow>(db_, small, big);
    media_ = sql::test::temp_dir() / "media";
    pipeline_.sql_queries = {kTopArtists};
    pipeline_.pandas_codes = {"print('Iron Maiden leads')"};
  }

  Outcome ask() {
    CaptureStdout();
    CaptureStderr();
    Outcome o;
    o.result = agent::run_agent(*flow_, "Which artists have the most albums?", media_);
    o.out = GetCapturedStdout();
    o.err = GetCapturedStderr();
    return o;
  }

  // The service and the pipeline are healthy again: a plain question gets its answer.
  void expect_next_question_works() {
    pipeline_.override = nullptr;
    pipeline_.sql_queries = {kTopArtists};
    pipeline_.pandas_codes = {"print('Iron Maiden leads')"};
    const Outcome o = ask();
    EXPECT_EQ(o.result["output"], "AC/DC leads.") << o.result.dump() << o.out << o.err;
    EXPECT_NE(o.result["sql_execution_result"].dump().find("Iron Maiden"), std::string::npos);
  }

  static void expect_no_key(const Outcome& o) {
    EXPECT_EQ(o.out.find(kKeyFragment), std::string::npos) << o.out;
    EXPECT_EQ(o.err.find(kKeyFragment), std::string::npos) << o.err;
    EXPECT_EQ(o.result.dump().find(kKeyFragment), std::string::npos) << o.result.dump();
  }

  ScriptedPipeline pipeline_;
  std::shared_ptr<sql::CustomSQLDatabase> db_;
  std::unique_ptr<query_flow::QueryFlow> flow_;
  std::filesystem::path media_;
};

// ---------------------------------------------------------------------------------------
// The chat service.

struct ChatFault {
  std::string name;
  std::function<ScriptedAnswer()> answer;
  bool retried;         // a transient failure: asked 1 + max_retries times
  std::string message;  // a piece of the printed error line
};

TEST_F(FaultyQuestion, ChatServiceFaultsEndInTheErrorRecordAfterTheConfiguredRetries) {
  const std::vector<ChatFault> faults = {
      {"rate limit", [] { return FakeChatServer::rate_limited(0, "Slow down please."); }, true,
       "429"},
      {"server error", [] { return FakeChatServer::error(500, "backend exploded"); }, true, "500"},
      {"malformed body", [] { return FakeChatServer::raw(200, "{\"choices\": [ {"); }, false, ""},
      {"wrong body shape", [] { return FakeChatServer::raw(200, R"({"choices": []})"); }, false,
       ""},
      {"broken tool arguments",
       [] { return FakeChatServer::tool_call_raw("SQLQueryInput", "{\"sql_query\": "); }, false,
       ""},
      {"silent service",
       [] { return FakeChatServer::text("late").after(std::chrono::milliseconds(2500)); }, true,
       ""},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    const auto asked_before = pipeline_.requests_for("SQLQueryInput").size();
    pipeline_.override = [&fault](const RecordedRequest& request) -> std::optional<ScriptedAnswer> {
      if (request.requested_record() == "SQLQueryInput") return fault.answer();
      return std::nullopt;
    };
    const Outcome o = ask();
    EXPECT_EQ(o.result, agent::Json({{"output", "An error occurred"}})) << o.result.dump();
    EXPECT_TRUE(o.out.starts_with(agent::kRunErrorPrefix)) << o.out;
    if (!fault.message.empty()) {
      EXPECT_NE(o.out.find(fault.message), std::string::npos) << o.out;
    }
    const auto asked = pipeline_.requests_for("SQLQueryInput").size() - asked_before;
    if (fault.retried) {
      EXPECT_EQ(asked, static_cast<std::size_t>(1 + kRetries));
    } else {
      EXPECT_GE(asked, 1u);
    }
    expect_no_key(o);
  }
  expect_next_question_works();
}

// ---------------------------------------------------------------------------------------
// The analysis code.

TEST_F(FaultyQuestion, MisbehavingAnalysisCodeLeavesTheProcessAndTheNextQuestionWell) {
  const std::vector<std::string> codes = {
      "import sys\nsys.exit(3)",
      "import sys\nsys.exit('stopping here')",
      "import os\nos._exit(7)",
      "import os, signal\nos.kill(os.getpid(), signal.SIGSEGV)",
      "import ctypes\nctypes.string_at(0)",
      "import os\nos.abort()",
      "x = bytearray(1 << 40)",
      "import os\nos.write(1, b'norvex-fd1-marker\\n')\nprint('done')",
      "import sys\nsys.stdout = None\nprint('gone')",
      "import os\nos.close(1)\nos.close(0)",
      "raise SystemExit",
      "raise KeyboardInterrupt",
  };
  for (const auto& code : codes) {
    SCOPED_TRACE(code);
    const auto coded_before = pipeline_.requests_for("PythonCodeInput").size();
    pipeline_.sql_queries = {kTopArtists};
    pipeline_.pandas_codes = {code};
    const Outcome o = ask();
    ASSERT_TRUE(o.result.contains("output")) << o.result.dump();
    // What the code wrote to its descriptor 1 belongs to the run, never to our output.
    EXPECT_EQ(o.out.find("norvex-fd1-marker"), std::string::npos) << o.out;
    EXPECT_GT(pipeline_.requests_for("PythonCodeInput").size(), coded_before);  // it ran
    expect_no_key(o);
  }
  expect_next_question_works();
}

// Code that allocates without end meets the worker's memory limit: here a small one, so the
// run ends at once instead of after filling the 4 GiB default. The run is a failure that says
// what ran out, and the worker that replaces it serves the next question.
TEST_F(FaultyQuestion, UnboundedAllocationEndsAtTheMemoryLimitAndTheNextQuestionWorks) {
  python::AnalysisOptions options;
  options.memory_limit = std::size_t{1} << 30;
  const auto result = python::run_analysis(
      "chunks = []\nwhile True:\n    chunks.append(bytearray(1 << 26))", options);
  EXPECT_FALSE(result.success);
  EXPECT_THAT(result.error, testing::HasSubstr("MemoryError")) << result.error;
  expect_next_question_works();
}

// The pipeline runs analyses with its own generous time limit, so endless and blocking code
// is stopped here with a short limit through the analysis entry point it uses.
TEST(AnalysisTimeLimit, EndlessAndBlockingCodeIsStoppedAndTheWorkerReplaced) {
  python::AnalysisOptions options;
  options.time_limit = std::chrono::seconds(1);
  for (const std::string code :
       {"while True:\n    pass", "import time\ntime.sleep(60)",
        "import select\nselect.select([], [], [])", "import threading\nthreading.Event().wait()"}) {
    const auto result = python::run_analysis(code, options);
    EXPECT_FALSE(result.success) << code;
    EXPECT_FALSE(result.error.empty()) << code;
    const auto next = python::run_analysis("print(6 * 7)", options);
    EXPECT_TRUE(next.success) << next.error;
    EXPECT_EQ(next.output, "42\n");
  }
}

// ---------------------------------------------------------------------------------------
// The surroundings: media folder, model configuration, database password.

TEST_F(FaultyQuestion, AMediaFolderThatCannotBeMadeFailsAloneAndTheNextQuestionWorks) {
  const auto file = sql::test::temp_dir() / "plain-file";
  std::ofstream(file) << "x";
  for (const auto& bad : {file / "media", std::filesystem::path("/proc/norvex-media/charts")}) {
    EXPECT_THROW(static_cast<void>(agent::run_agent(*flow_, "Q?", bad)),
                 std::filesystem::filesystem_error)
        << bad;
  }
  EXPECT_EQ(pipeline_.server().request_count(), 0u);
  expect_next_question_works();
}

class ModelConfigFile : public ::testing::Test {
 protected:
  void SetUp() override { file_ = sql::test::temp_dir() / "models.json"; }
  void TearDown() override { ::unsetenv(std::string(agent::kModelConfigVariable).c_str()); }
  void use(const std::filesystem::path& path) {
    ::setenv(std::string(agent::kModelConfigVariable).c_str(), path.c_str(), 1);
  }
  std::filesystem::path file_;
};

TEST_F(ModelConfigFile, AMissingFileGivesNoAgentAndSaysSo) {
  use(file_);  // never written
  CaptureStdout();
  EXPECT_EQ(agent::create_agent_from_uri(norvex::test::chinook_sqlite_uri()), nullptr);
  EXPECT_EQ(GetCapturedStdout(), std::string(agent::kInternalServerError) + "\n");
}

TEST_F(ModelConfigFile, MalformedFilesAreValueErrorsNamingTheFileNeverItsValues) {
  const std::vector<std::string> broken = {
      R"({"models": [{"model": "GPT-3.5", "api_key": "sk-Secret-4711")",
      R"({"models": [{"model": "GPT-3.5", "api_key": "sk-Secret-4711", "bogus": 1}]})",
      R"({"models": [{"api_key": "sk-Secret-4711"}]})",
      R"({"models": {"model": "GPT-3.5", "api_key": "sk-Secret-4711"}})",
      R"({"models": [{"model": "GPT-3.5", "api_key": "${NORVEX_SURELY_UNSET_VARIABLE}"}]})",
      R"({"models": [], "extra": "sk-Secret-4711"})",
      "",
      "\xff\xfe not text",
  };
  use(file_);
  for (const auto& text : broken) {
    SCOPED_TRACE(text);
    std::ofstream(file_, std::ios::trunc) << text;
    CaptureStdout();
    try {
      static_cast<void>(agent::create_agent_from_uri(norvex::test::chinook_sqlite_uri()));
      ADD_FAILURE() << "accepted";
    } catch (const ValueError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(file_.filename().string()), std::string::npos) << message;
      EXPECT_EQ(message.find("sk-Secret-4711"), std::string::npos) << message;
    }
    EXPECT_EQ(GetCapturedStdout().find("sk-Secret-4711"), std::string::npos);
  }
}

TEST(WrongDatabasePassword, EveryServerEngineRefusesWithoutShowingIt) {
  const std::string password = "Wr0ng-Pa55word-4711";
  std::vector<std::string> uris;
  if (const auto s = norvex::test::mysql_server()) {
    uris.push_back(agent::compose_uri("MySQL", s->database, s->user, password, s->host,
                                      std::to_string(s->port)));
  }
  if (const auto s = norvex::test::pg_server()) {
    uris.push_back(agent::compose_uri("PostgreSQL", s->database, s->user, password, s->host,
                                      std::to_string(s->port)));
    if (std::getenv("ODBCSYSINI") != nullptr) {
      uris.push_back("mssql+pyodbc:///?odbc_connect=" +
                     sql::test::url_encode("DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" +
                                           std::to_string(s->port) + ";DATABASE=" + s->database +
                                           ";UID=" + s->user + ";PWD=" + password));
    }
  }
  if (uris.empty()) NORVEX_SKIP_OR_FAIL("no database server is running (scripts/servers.sh start)");
  for (const auto& uri : uris) {
    CaptureStdout();
    try {
      static_cast<void>(agent::create_agent_from_uri(uri, {}));
      ADD_FAILURE() << "a wrong password was accepted";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(std::string(e.what()).find(password), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("Pa55"), std::string::npos) << e.what();
    }
    EXPECT_EQ(GetCapturedStdout(), "");
  }
}

// ---------------------------------------------------------------------------------------
// The database server going away between questions (a private server of our own, so the
// shared ones are never touched).

namespace restart {

// Two small tables the scripted picker names, readable by the ordinary probe role.
bool seed_two_tables(const sql::test::PrivateServer& server, bool pg) {
  return server.run_as_admin(pg ? "CREATE TABLE \"Album\" (\"AlbumId\" int, \"Title\" text);\n"
                                  "CREATE TABLE \"Artist\" (\"ArtistId\" int, \"Name\" text);\n"
                                  "INSERT INTO \"Artist\" VALUES (1, 'Iron Maiden');\n"
                                  "GRANT SELECT ON ALL TABLES IN SCHEMA public TO norvex_probe;"
                                : "CREATE DATABASE probe;\n"
                                  "CREATE TABLE probe.Album (AlbumId int, Title text);\n"
                                  "CREATE TABLE probe.Artist (ArtistId int, Name text);\n"
                                  "INSERT INTO probe.Artist VALUES (1, 'Iron Maiden');\n"
                                  "GRANT SELECT ON probe.* TO 'norvex_probe'@'127.0.0.1';");
}

class DatabaseOutage : public ::testing::TestWithParam<std::string> {};

TEST_P(DatabaseOutage, QuestionsAroundARestartAndAnOutage) {
  const bool pg = GetParam() == "pg";
  const sql::test::PrivateServer server(GetParam());
  if (!server.ok() || !seed_two_tables(server, pg))
    NORVEX_SKIP_OR_FAIL("cannot start a private " + GetParam() + " server");
  ScriptedPipeline pipeline;
  pipeline.sql_queries = {pg ? "SELECT \"Name\" FROM \"Artist\"" : "SELECT Name FROM Artist"};
  pipeline.pandas_codes = {"print('Iron Maiden leads')"};
  sql::Options options;
  options.connect_timeout = std::chrono::milliseconds(2000);
  options.statement_timeout = std::chrono::milliseconds(2000);
  auto db = sql::CustomSQLDatabase::from_uri(server.uri(pg ? "postgres" : "probe"), options);
  const query_flow::QueryFlow flow(db, pipeline.small_settings(), pipeline.big_settings());
  const auto media = sql::test::temp_dir() / "media";
  auto ask = [&] {
    CaptureStdout();
    CaptureStderr();
    agent::Json result = agent::run_agent(flow, "Who leads?", media);
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(out.find("norvex-probe-pw"), std::string::npos) << out;
    EXPECT_EQ(err.find("norvex-probe-pw"), std::string::npos) << err;
    return result;
  };
  auto answered = [](const agent::Json& result) {
    return result.value("output", "") == "AC/DC leads." &&
           result["sql_execution_result"].dump().find("Iron Maiden") != std::string::npos;
  };

  EXPECT_TRUE(answered(ask()));
  ASSERT_TRUE(server.control("restart"));
  EXPECT_TRUE(answered(ask())) << "the question after a restart";

  ASSERT_TRUE(server.control("stop"));
  const agent::Json during = ask();
  // The repair loop gives up into an answer without rows, or the run fails into the error
  // record; either way no rows can have been read.
  ASSERT_TRUE(during.contains("output")) << during.dump();
  EXPECT_FALSE(answered(during)) << during.dump();

  ASSERT_TRUE(server.control("start"));
  EXPECT_TRUE(answered(ask())) << "the question after the outage";
}

INSTANTIATE_TEST_SUITE_P(Engines, DatabaseOutage, ::testing::Values("pg", "mariadb"),
                         [](const auto& info) { return info.param; });

}  // namespace restart

}  // namespace
}  // namespace norvex::hardening

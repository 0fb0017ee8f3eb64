// The agent entry points: the connection URI, tier selection, the printed lines, a run's
// result record and its error record, the chat-model factory and the planning agent. Whole
// questions run on SQLite Chinook against the scripted chat service.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "norvex/agent/agent.hpp"
#include "norvex/error.hpp"
#include "norvex/llm/openai_client.hpp"
#include "query_flow_test_support.hpp"
#include "support/chinook_sqlite.hpp"
#include "support/fake_chat_server.hpp"
#include "support/servers.hpp"

namespace norvex::agent {
namespace {

using norvex::query_flow::test::ScriptedPipeline;
using norvex::test::FakeChatServer;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr const char* kTopArtists =
    "SELECT ar.Name, COUNT(*) AS albums FROM Album al JOIN Artist ar ON ar.ArtistId = "
    "al.ArtistId GROUP BY ar.Name ORDER BY albums DESC LIMIT 5";

llm::ModelSettings record(const std::string& tag, const std::string& endpoint,
                          const std::string& deployment = "dep") {
  llm::ModelSettings s;
  s.model = tag;
  s.azure_endpoint = endpoint;
  s.azure_deployment = deployment;
  return s;
}

std::vector<llm::ModelSettings> records_for(const ScriptedPipeline& pipeline) {
  llm::ModelSettings small = pipeline.small_settings();
  small.model = "GPT-3.5";
  llm::ModelSettings big = pipeline.big_settings();
  big.model = "GPT-4o";
  return {small, big};
}

// ---------------------------------------------------------------------------------------
// Construction.

TEST(ComposeUri, JoinsTheParametersInOrderWithNothingEscaped) {
  EXPECT_EQ(compose_uri("MySQL", "shop", "reader", "pw", "127.0.0.1", "3306"),
            "mysql+mysqlconnector://reader:pw@127.0.0.1:3306/shop");
  EXPECT_EQ(compose_uri("PostgreSQL", "db", "u", "p@ss:word/x", "h", "5432"),
            "postgresql+psycopg2://u:p@ss:word/x@h:5432/db");
  EXPECT_EQ(compose_uri("MsSQL", "db", "u", "p", "h", "1433"), "mssql+pyodbc://u:p@h:1433/db");
  // The table is exact and case sensitive: no scheme at all for other spellings.
  EXPECT_EQ(compose_uri("mysql", "db", "u", "p", "h", "1"), "://u:p@h:1/db");
  EXPECT_FALSE(driver_scheme("Postgresql").has_value());
}

TEST(CreateAgent, AnEngineOutsideTheTableFailsInTheFacadeSilently) {
  CaptureStdout();
  EXPECT_THROW(static_cast<void>(create_agent("mysql", "db", "u", "secret-pw", "127.0.0.1", 3306)),
               DatabaseError);
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(CreateAgent, AWrongPasswordPropagatesWithoutThePassword) {
  const auto server = norvex::test::pg_server();
  if (!server) NORVEX_SKIP_OR_FAIL("PostgreSQL is not running (scripts/servers.sh start)");
  CaptureStdout();
  try {
    static_cast<void>(create_agent("PostgreSQL", server->database, server->user, "wrong-Pa55word",
                                   server->host, server->port));
    ADD_FAILURE() << "a wrong password was accepted";
  } catch (const DatabaseError& error) {
    EXPECT_EQ(std::string(error.what()).find("wrong-Pa55word"), std::string::npos) << error.what();
  }
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(SelectModelTiers, ExactSmallTagAndLastLargeMatchWin) {
  const ModelTiers tiers = select_model_tiers(
      {record("GPT-4", "http://127.0.0.1:1", "first"),
       record("GPT-3.5", "http://127.0.0.1:2", "small"),
       record("GPT-3.5-turbo", "http://127.0.0.1:3"), record("gpt-4", "http://127.0.0.1:4"),
       record("Claude", "http://127.0.0.1:5"), record("GPT-4o", "http://127.0.0.1:6", "later")});
  EXPECT_EQ(tiers.config_35.azure_deployment, "small");
  EXPECT_EQ(tiers.config_35.azure_endpoint, "http://127.0.0.1:2");
  EXPECT_EQ(tiers.config_4.azure_deployment, "later");
  EXPECT_TRUE(tiers.complete());

  EXPECT_FALSE(select_model_tiers({record("GPT-3.5-turbo", "http://127.0.0.1:3"),
                                   record("GPT-4", "http://127.0.0.1:4")})
                   .complete());
}

TEST(CreateAgent, IncompleteTiersPrintInternalServerErrorAndGiveNull) {
  const std::string uri = norvex::test::chinook_sqlite_uri();
  const std::vector<std::vector<llm::ModelSettings>> incomplete = {
      {},
      {record("GPT-3.5", "http://127.0.0.1:9")},
      {record("GPT-3.5", "http://127.0.0.1:9"), record("GPT-4", "")},
      // A later record without an endpoint replaces a usable one.
      {record("GPT-3.5", "http://127.0.0.1:9"), record("GPT-4", "http://127.0.0.1:9"),
       record("GPT-4-32k", "")},
  };
  for (const auto& records : incomplete) {
    CaptureStdout();
    EXPECT_EQ(create_agent_from_uri(uri, records), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "Internal Server Error!\n");
  }
}

TEST(CreateAgent, CompleteTiersPrintAgentIsReadyOnceAndBuildTheGraph) {
  ScriptedPipeline pipeline;
  CaptureStdout();
  const auto agent =
      create_agent_from_uri(norvex::test::chinook_sqlite_uri(), records_for(pipeline));
  EXPECT_EQ(GetCapturedStdout(), "Agent is Ready!\n");
  ASSERT_NE(agent, nullptr);
  EXPECT_EQ(agent->db()->dialect(), "sqlite");
  EXPECT_EQ(pipeline.server().request_count(), 0u);  // nothing asked yet
}

TEST(CreateAgent, ReadsTheModelConfigurationFile) {
  const auto dir = norvex::test::scratch_dir();
  const auto file = dir / "models.json";
  std::ofstream(file) << R"({"models": [{"model": "GPT-3.5", "azure_endpoint": "http://127.0.0.1:1",
    "deployment_name": "a", "api_key": "k", "api_version": "v"}]})";
  ::setenv(std::string(kModelConfigVariable).c_str(), file.c_str(), 1);
  CaptureStdout();
  EXPECT_EQ(create_agent_from_uri(norvex::test::chinook_sqlite_uri()), nullptr);
  EXPECT_EQ(GetCapturedStdout(), "Internal Server Error!\n");

  std::ofstream(file) << "{\"models\": [";
  EXPECT_THROW(static_cast<void>(create_agent_from_uri(norvex::test::chinook_sqlite_uri())),
               ValueError);
  ::unsetenv(std::string(kModelConfigVariable).c_str());
}

// ---------------------------------------------------------------------------------------
// Runs.

class RunAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    CaptureStdout();
    agent_ = create_agent_from_uri(norvex::test::chinook_sqlite_uri(), records_for(pipeline_));
    GetCapturedStdout();
    ASSERT_NE(agent_, nullptr);
    media_ = norvex::test::scratch_dir() / "media" / "nested";
    pipeline_.sql_queries = {kTopArtists};
    pipeline_.pandas_codes = {"print('Iron Maiden leads')"};
    pipeline_.image_path = (media_ / "chart.png").string();
  }
  ScriptedPipeline pipeline_;
  std::unique_ptr<query_flow::QueryFlow> agent_;
  std::filesystem::path media_;
};

TEST_F(RunAgent, ReturnsTheFiveFieldsInOrderAndCreatesTheMediaPath) {
  const Json result = run_agent(*agent_, "Which artists have the most albums?", media_);
  std::vector<std::string> keys;
  for (const auto& [key, value] : result.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"output", "python_code", "image_path",
                                            "generated_query", "sql_execution_result"}));
  EXPECT_EQ(result["output"], "AC/DC leads.");
  EXPECT_EQ(result["python_code"], "print('Iron Maiden leads')");
  EXPECT_EQ(result["image_path"], (media_ / "chart.png").string());
  EXPECT_EQ(result["generated_query"], Json::array({kTopArtists}));
  EXPECT_NE(result["sql_execution_result"].dump().find("Iron Maiden"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(media_));

  // A second run with another media path creates that one too; an existing one is fine.
  const auto other = media_.parent_path() / "other";
  EXPECT_EQ(run_agent(*agent_, "Again?", other)["output"], "AC/DC leads.");
  EXPECT_TRUE(std::filesystem::is_directory(other));
  EXPECT_EQ(run_agent(*agent_, "Again?", media_)["output"], "AC/DC leads.");
}

TEST_F(RunAgent, AMediaPathThatIsAFileFailsBeforeTheGraphRuns) {
  const auto file = norvex::test::scratch_dir() / "taken";
  std::ofstream(file) << "x";
  EXPECT_THROW(static_cast<void>(run_agent(*agent_, "Q?", file)),
               std::filesystem::filesystem_error);
  EXPECT_EQ(pipeline_.server().request_count(), 0u);
}

TEST_F(RunAgent, AFailedRunPrintsATracebackAndTheMessageLineAndReturnsTheErrorRecord) {
  pipeline_.override = [](const norvex::test::RecordedRequest& request)
      -> std::optional<norvex::test::ScriptedAnswer> {
    if (request.requested_record() == "SQLQueryInput") {
      return FakeChatServer::error(400, "the deployment is gone");
    }
    return std::nullopt;
  };
  CaptureStdout();
  CaptureStderr();
  const Json result = run_agent(*agent_, "Q?", media_);
  const std::string out = GetCapturedStdout();
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(result, Json({{"output", "An error occurred"}}));
  EXPECT_TRUE(out.starts_with("An error occurred when running the agent: ")) << out;
  EXPECT_NE(out.find("the deployment is gone"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  EXPECT_NE(err.find("Traceback"), std::string::npos) << err;
  EXPECT_NE(err.find("sql_generation_node"), std::string::npos) << err;
  EXPECT_NE(err.find("ChatServiceError"), std::string::npos) << err;
  EXPECT_EQ(err.find("test-key"), std::string::npos) << err;
}

TEST_F(RunAgent, WhenNoQuerySucceedsTheAnswerSurvivesWithoutAnalysisCode) {
  // Every query fails: the repair loop and the rewrite give up, and the response node
  // answers without an analysis ever running, so the state has no pandas_code.
  pipeline_.sql_queries = {"SELECT NoSuchColumn FROM Album"};
  pipeline_.final_response = "I could not answer that.";
  CaptureStdout();
  const Json result = run_agent(*agent_, "Q?", media_);
  GetCapturedStdout();
  EXPECT_EQ(result["output"], "I could not answer that.");
  EXPECT_TRUE(result["python_code"].is_null());
  EXPECT_EQ(result.size(), 5u);
  EXPECT_EQ(pipeline_.requests_for("PythonCodeInput").size(), 0u);
}

TEST_F(RunAgent, TheObserverSeesEveryNode) {
  std::mutex mutex;
  std::vector<std::string> started;
  static_cast<void>(run_agent(*agent_, "Q?", media_, [&](const graph::NodeEvent& event) {
    std::lock_guard lock(mutex);
    if (event.kind == graph::NodeEvent::Kind::start) started.emplace_back(event.node);
  }));
  EXPECT_EQ(started.size(), 10u);
  EXPECT_EQ(started.front(), "init_node");
  EXPECT_EQ(started.back(), "final_response_generation_node");
}

// ---------------------------------------------------------------------------------------
// The chat-model factory and the planning agent.

class ChatFactory : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("OPENAI_BASE_URL", server_.openai_base_url().c_str(), 1); }
  void TearDown() override { ::unsetenv("OPENAI_BASE_URL"); }
  FakeChatServer server_;
};

TEST_F(ChatFactory, TemperatureDefaultsToOneOnlyWhenAbsent) {
  CaptureStdout();
  const auto warm = create_chat_openai_instance({"gpt-test", std::nullopt, "k"});
  const auto cold = create_chat_openai_instance({"gpt-test", 0.0, "k"});
  EXPECT_EQ(GetCapturedStdout(), "LLM is Ready!\nLLM is Ready!\n");
  EXPECT_EQ(warm->temperature(), 1.0);
  EXPECT_EQ(cold->temperature(), 0.0);
  EXPECT_EQ(cold->model_name(), "gpt-test");

  server_.push(FakeChatServer::text("hello"));
  EXPECT_EQ(cold->invoke("hi").content, "hello");
  EXPECT_EQ(server_.last_request().header("authorization"), "Bearer k");
}

TEST_F(ChatFactory, AFailingConstructorPrintsNothing) {
  CaptureStdout();
  EXPECT_THROW(static_cast<void>(create_chat_openai_instance(ChatModelData{})), ArgumentError);
  EXPECT_EQ(GetCapturedStdout(), "");
}

class RecordingRunnable : public JsonRunnable {
 public:
  Json invoke(const Json& input, const Json& config) override {
    calls.emplace_back(input, config);
    return {{"type", "finish"}, {"output", "done"}};
  }
  std::vector<std::pair<Json, Json>> calls;
};

TEST(CustomRunnableAgent, PlansWithOneCallOfTheRunnable) {
  auto runnable = std::make_shared<RecordingRunnable>();
  const CustomRunnableAgent agent(runnable);
  const Json steps = Json::array({Json::array({"action", "observation"})});
  const Json result =
      agent.plan(steps, Json::array({"handler"}), {{"input", "Q?"}, {"lang", "en"}});
  EXPECT_EQ(result, Json({{"type", "finish"}, {"output", "done"}}));
  ASSERT_EQ(runnable->calls.size(), 1u);
  EXPECT_EQ(runnable->calls[0].first,
            Json({{"input", "Q?"}, {"lang", "en"}, {"intermediate_steps", steps}}));
  EXPECT_EQ(runnable->calls[0].second, Json({{"callbacks", Json::array({"handler"})}}));
  EXPECT_THROW(CustomRunnableAgent(nullptr), ArgumentError);
}

}  // namespace
}  // namespace norvex::agent

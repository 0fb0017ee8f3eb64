// Whole questions through QueryFlow::invoke on real Chinook databases, with a scripted chat
// service: the happy path, the exact prompts, both repair loops, refused writes, failures.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>

#include "norvex/drawing/image.hpp"
#include "norvex/error.hpp"
#include "norvex/flow_stages/flow_stages.hpp"
#include "norvex/prompts/prompt_template.hpp"
#include "norvex/prompts/templates.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "query_flow_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::query_flow {
namespace {

using test::Engine;
using test::RecordedRequest;
using test::ScriptedPipeline;

constexpr const char* kQuestion = "Which artists have the most albums?";
constexpr const char* kBadColumnQuery = "SELECT NoSuchColumn FROM Album";
constexpr const char* kEmptyQuery = "SELECT 1 AS one WHERE 1 = 0";
constexpr const char* kFailingCode = "raise ValueError('no chart today')";

// One run: its final state and, per step, the nodes that ran in it.
struct QuestionRun {
  graph::Json state;
  std::map<int, std::vector<std::string>> steps;

  [[nodiscard]] std::vector<std::string> nodes() const {
    std::vector<std::string> all;
    for (const auto& [step, names] : steps) all.insert(all.end(), names.begin(), names.end());
    return all;
  }
  [[nodiscard]] long count(const std::string& node) const {
    const auto all = nodes();
    return std::count(all.begin(), all.end(), node);
  }
};

QuestionRun ask(const QueryFlow& flow, graph::Json inputs) {
  QuestionRun run;
  std::mutex mutex;
  run.state = flow.invoke(inputs, [&](const graph::NodeEvent& event) {
    if (event.kind != graph::NodeEvent::Kind::start) return;
    std::lock_guard lock(mutex);
    run.steps[event.step].emplace_back(event.node);
  });
  for (auto& [step, names] : run.steps) std::sort(names.begin(), names.end());
  return run;
}

graph::Json question(const std::filesystem::path& save_path) {
  return {{"user_question", kQuestion}, {"save_path", save_path.string()}};
}

std::shared_ptr<sql::CustomSQLDatabase> open(const Engine& engine) {
  return sql::CustomSQLDatabase::from_uri(*engine.uri());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string human_text(const RecordedRequest& request) {
  return request.last_message();
}

// ---------------------------------------------------------------------------------------
// Every engine.

class QuestionOnEngine : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    const auto uri = GetParam().uri();
    if (!uri)
      NORVEX_SKIP_OR_FAIL(GetParam().name + " server is not running (scripts/servers.sh start)");
    db_ = open(GetParam());
  }
  std::shared_ptr<sql::CustomSQLDatabase> db_;
};

TEST_P(QuestionOnEngine, HappyPathRunsTenNodesOnceAndLeavesARealChart) {
  const Engine& engine = GetParam();
  ScriptedPipeline pipeline;
  const auto dir = test::save_dir();
  pipeline.sql_queries = {test::top_artists_query(engine)};
  pipeline.pandas_codes = {test::chart_code(dir)};
  pipeline.image_path = (dir / "chart.png").string();
  const QueryFlow flow(db_, pipeline.small_settings(), pipeline.big_settings());

  const QuestionRun run = ask(flow, question(dir));

  const std::vector<std::string> expected = {"init_node",
                                             "table_names_lookup_node",
                                             "relevant_table_names_node",
                                             "relevant_schemas_node",
                                             "sql_generation_node",
                                             "sql_syntax_checker_node",
                                             "sql_execution_node",
                                             "pandas_generator_node",
                                             "pandas_executor_node",
                                             "final_response_generation_node"};
  EXPECT_EQ(run.nodes(), expected);
  EXPECT_EQ(run.steps.size(), expected.size());  // one node per step

  const graph::Json& s = run.state;
  EXPECT_EQ(s["final_response"], "AC/DC leads.");
  EXPECT_EQ(s["image_path"], (dir / "chart.png").string());
  EXPECT_EQ(s["pandas_code"], test::chart_code(dir));
  EXPECT_EQ(s["generated_sql_query"], graph::Json::array({test::top_artists_query(engine)}));
  ASSERT_EQ(s["sql_execution_result"].size(), 1u);
  EXPECT_NE(s["sql_execution_result"][0].get<std::string>().find("Iron Maiden"), std::string::npos);
  EXPECT_EQ(s["relevant_tables"],
            graph::Json::array({engine.spell("Album"), engine.spell("Artist")}));
  EXPECT_EQ(s["python_executed_output"], "Top artist: Iron Maiden\n");
  EXPECT_EQ(s["iteration_count"], 0);
  EXPECT_EQ(s["max_iterations_pandas"], 3);

  // The chart is a real PNG: it decodes.
  const std::string png = read_file(dir / "chart.png");
  ASSERT_GT(png.size(), 8u);
  EXPECT_NO_THROW(drawing::save_image(png, dir / "decoded.bmp"));

  // Seven model calls, each to its model with its settings: the larger model (an
  // OpenAI-compatible server) writes SQL, the smaller one (an Azure deployment) the rest.
  const std::map<std::string, int> max_tokens = {{"RelevantTablesOutput", 8192},
                                                 {"SQLQueryInput", 4096},
                                                 {"", 8192},
                                                 {"PythonCodeInput", 8192},
                                                 {"GenerationOutput", 4096}};
  const auto requests = pipeline.server().requests();
  ASSERT_EQ(requests.size(), 5u);
  for (const auto& request : requests) {
    const std::string record = request.requested_record();
    SCOPED_TRACE(record);
    EXPECT_EQ(request.json["max_tokens"], max_tokens.at(record));
    EXPECT_EQ(request.json["temperature"], 0);
    EXPECT_EQ(request.json["top_p"], 0.95);
    if (record == "SQLQueryInput") {
      EXPECT_EQ(request.path, "/v1/chat/completions");
      EXPECT_EQ(request.json["model"], test::kBigModel);
    } else {
      EXPECT_EQ(request.path,
                std::string("/openai/deployments/") + test::kSmallDeployment + "/chat/completions");
    }
  }
}

TEST_P(QuestionOnEngine, GeneratedWritesAreRefusedRepairedAndChangeNothing) {
  const Engine& engine = GetParam();
  const std::string count_albums = "SELECT COUNT(*) FROM " + engine.spell("Album");
  const std::string count_tracks = "SELECT COUNT(*) FROM " + engine.spell("Track");
  const std::string albums_before = db_->run(count_albums);
  const std::string tracks_before = db_->run(count_tracks);

  ScriptedPipeline pipeline;
  const auto dir = test::save_dir();
  pipeline.sql_queries = {"DROP TABLE " + engine.spell("Album"),
                          "DELETE FROM " + engine.spell("Track"), test::top_artists_query(engine)};
  pipeline.pandas_codes = {"print('ok')"};
  const QueryFlow flow(db_, pipeline.small_settings(), pipeline.big_settings());
  const QuestionRun run = ask(flow, question(dir));

  const graph::Json& results = run.state["sql_execution_result"];
  ASSERT_EQ(results.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(results[i].get<std::string>().empty());
    EXPECT_NE(results[i], "None");
  }
  EXPECT_NE(results[2].get<std::string>().find("Iron Maiden"), std::string::npos);
  EXPECT_EQ(run.state["iteration_count"], 2);
  EXPECT_EQ(run.count("sql_error_handler_node"), 2);
  EXPECT_EQ(run.state["python_executed_output"], "ok\n");

  // The repair prompt showed the model why its writes failed.
  const auto sql_requests = pipeline.requests_for("SQLQueryInput");
  ASSERT_EQ(sql_requests.size(), 3u);
  EXPECT_NE(human_text(sql_requests[2]).find(results[1].get<std::string>()), std::string::npos);

  // The data is intact, seen through a fresh connection too.
  EXPECT_EQ(db_->run(count_albums), albums_before);
  EXPECT_EQ(open(engine)->run(count_tracks), tracks_before);
}

INSTANTIATE_TEST_SUITE_P(Chinook, QuestionOnEngine, ::testing::ValuesIn(test::engines()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// SQLite Chinook from here on: the loops do not depend on the engine.

class QuestionOnSqlite : public ::testing::Test {
 protected:
  std::shared_ptr<sql::CustomSQLDatabase> db_ = open(test::sqlite_engine());
  ScriptedPipeline pipeline_;
  std::filesystem::path dir_ = test::save_dir();
  std::string good_query_ = test::top_artists_query(test::sqlite_engine());
};

TEST_F(QuestionOnSqlite, EachStageSendsItsExactMessages) {
  pipeline_.sql_queries = {good_query_};
  pipeline_.pandas_codes = {"print('summary')"};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  const QuestionRun run = ask(flow, question(dir_));
  const graph::Json& s = run.state;

  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const auto render = [](std::string_view text, const prompts::Variables& vars,
                         prompts::TemplateFormat format = prompts::TemplateFormat::f_string) {
    return prompts::PromptTemplate::from_template(std::string(text), format).format(vars);
  };

  // Relevant tables: the prefix, then the question and the listing with the tail verbatim.
  const auto tables = pipeline_.requests_for("RelevantTablesOutput");
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].messages(),
            (Pairs{{"system", render(prompts::SQL_PREFIX, {{"dialect", "sqlite"}})},
                   {"user", render(prompts::GET_RELEVANT_TABLE_NAMES_TEMPLATE,
                                   {{"user_question", kQuestion},
                                    {"table_names_from_db", db_->table_listing()}}) +
                                std::string(prompts::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE)}}));

  // First-attempt SQL: the schemas of the picked tables only.
  const auto sql = pipeline_.requests_for("SQLQueryInput");
  ASSERT_EQ(sql.size(), 1u);
  EXPECT_EQ(
      sql[0].messages(),
      (Pairs{{"system", render(flow_stages::SQL_GENERATION_SYSTEM_TEXT, {{"dialect", "sqlite"}})},
             {"user", std::string(kQuestion) + "\n Schemas_from_relevant_tables: " +
                          db_->get_table_info("Album,Artist")}}));

  // The checker: one plain request about the generated query.
  const auto checks = pipeline_.requests_for("");
  ASSERT_EQ(checks.size(), 1u);
  const flow_stages::QuerySQLCheckerTool checker(db_, flow.relevant_tables_model());
  EXPECT_EQ(checks[0].messages(), (Pairs{{"user", checker.prompt(good_query_)}}));

  // Analysis code: the save path in the system message, the numbered query/result pairs.
  const auto code = pipeline_.requests_for("PythonCodeInput");
  ASSERT_EQ(code.size(), 1u);
  const std::string result = s["sql_execution_result"][0];
  EXPECT_EQ(
      code[0].messages(),
      (Pairs{{"system", render(prompts::PANDAS_SYSTEM_TEMPLATE, {{"save_path", dir_.string()}},
                               prompts::TemplateFormat::jinja2)},
             {"user", render(prompts::PANDAS_HUMAN_TEMPLATE,
                             {{"original_question", kQuestion},
                              {"zipped_queries_results",
                               graph::Json::array({graph::Json::array({good_query_, result})})}},
                             prompts::TemplateFormat::jinja2)}}));

  // The response: six lines in one human message.
  const auto response = pipeline_.requests_for("GenerationOutput");
  ASSERT_EQ(response.size(), 1u);
  EXPECT_EQ(response[0].messages(),
            (Pairs{{"user", "User question: " + std::string(kQuestion) + "\nSQL query: ['" +
                                good_query_ + "']\nSQL query result: " + result +
                                "\nPython code: print('summary')\nPython executed result: "
                                "summary\n\nUse the above result to address user's question."}}));
}

// k failed queries, then a good one: for k = 5 the fifth failure rewrites the question.
class SqlRepairLoop : public QuestionOnSqlite, public ::testing::WithParamInterface<int> {};

TEST_P(SqlRepairLoop, SucceedsAfterKFailures) {
  const int k = GetParam();
  std::vector<std::string> failing;
  for (int i = 0; i < k; ++i) {
    // Alternate engine errors and empty results: both count as failures.
    failing.push_back(i % 2 == 0 ? std::string(kBadColumnQuery) + " /*" + std::to_string(i) + "*/"
                                 : std::string(kEmptyQuery) + " /*" + std::to_string(i) + "*/");
  }
  pipeline_.sql_queries.assign(failing.begin(), failing.end());
  pipeline_.sql_queries.push_back(good_query_);
  pipeline_.pandas_codes = {"print('ok')"};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  const QuestionRun run = ask(flow, question(dir_));
  const graph::Json& s = run.state;

  ASSERT_EQ(s["generated_sql_query"].size(), static_cast<std::size_t>(k + 1));
  ASSERT_EQ(s["sql_execution_result"].size(), static_cast<std::size_t>(k + 1));
  for (int i = 0; i < k; ++i) {
    EXPECT_EQ(s["generated_sql_query"][i], failing[i]);
    if (i % 2 == 1) {
      EXPECT_EQ(s["sql_execution_result"][i], "None");
    }
  }
  EXPECT_EQ(s["iteration_count"], k);
  EXPECT_EQ(s["rewrite_count"], 0);
  EXPECT_EQ(s["final_response"], "AC/DC leads.");
  EXPECT_EQ(run.count("sql_error_handler_node"), k);
  EXPECT_EQ(run.count("pandas_generator_node"), 1);

  const bool rewritten = k == 5;
  EXPECT_EQ(run.count("rewrite_query_node"), rewritten ? 1 : 0);
  EXPECT_EQ(run.count("relevant_schemas_node"), rewritten ? 2 : 1);
  EXPECT_EQ(s["rewritten_question"], rewritten ? pipeline_.rewritten_question : "");
  EXPECT_EQ(s["sql_generation_prompt_type"], k == 0 || rewritten ? "generation" : "correction");

  // Every repair prompt lists every earlier query with its outcome, numbered.
  const auto sql = pipeline_.requests_for("SQLQueryInput");
  ASSERT_EQ(sql.size(), static_cast<std::size_t>(k + 1));
  const std::string first_attempt_system(
      prompts::PromptTemplate::from_template(std::string(flow_stages::SQL_GENERATION_SYSTEM_TEXT))
          .format({{"dialect", "sqlite"}}));
  for (int attempt = 1; attempt <= k; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt + 1));
    const auto messages = sql[attempt].messages();
    if (attempt == 5) {  // after the rewrite: a first attempt again
      EXPECT_EQ(messages[0].second, first_attempt_system);
      EXPECT_EQ(messages[1].second.find("NoSuchColumn"), std::string::npos);
      continue;
    }
    // The repair prompt, rendered from its texts: the prefix and the numbered pairs.
    graph::Json pairs = graph::Json::array();
    for (int earlier = 0; earlier < attempt; ++earlier) {
      pairs.push_back({failing[earlier], s["sql_execution_result"][earlier]});
    }
    const prompts::Variables vars = {
        {"dialect", "sqlite"},
        {"user_question", kQuestion},
        {"schemas_from_relevant_tables", db_->get_table_info("Album,Artist")},
        {"zipped_queries_errors", pairs}};
    EXPECT_EQ(
        messages[0].second,
        prompts::PromptTemplate::from_template(std::string(prompts::SQL_PREFIX)).format(vars));
    EXPECT_EQ(messages[1].second,
              prompts::PromptTemplate::from_template(std::string(prompts::CORRECT_SQL_TEMPLATE),
                                                     prompts::TemplateFormat::jinja2)
                  .format(vars));
    const std::string& human = messages[1].second;
    std::size_t previous = 0;
    for (int earlier = 0; earlier < attempt; ++earlier) {
      const std::size_t at = human.find(failing[earlier]);
      ASSERT_NE(at, std::string::npos) << failing[earlier] << " missing from\n" << human;
      EXPECT_GT(at, previous);
      previous = at;
      EXPECT_NE(human.find(s["sql_execution_result"][earlier].get<std::string>(), at),
                std::string::npos);
    }
  }
  if (rewritten) {
    // The rewritten question picked the tables again.
    const auto picks = pipeline_.requests_for("RelevantTablesOutput");
    ASSERT_EQ(picks.size(), 2u);
    EXPECT_NE(picks[1].last_message().find(pipeline_.rewritten_question), std::string::npos);
    // The rewrite saw the question as asked and the schema of every table.
    const auto rewrite = pipeline_.requests_for("RewriteQueryOutput");
    ASSERT_EQ(rewrite.size(), 1u);
    const std::string expected =
        prompts::PromptTemplate::from_template(std::string(prompts::REWRITE_QUESTION_TEMPLATE))
            .format({{"user_question", kQuestion},
                     {"schemas_from_all_tables", db_->get_table_info(db_->table_listing())}});
    EXPECT_EQ(rewrite[0].messages(),
              (std::vector<std::pair<std::string, std::string>>{{"system", expected}}));
  }
}

INSTANTIATE_TEST_SUITE_P(Failures, SqlRepairLoop, ::testing::Range(0, 6));

TEST_F(QuestionOnSqlite, SixthFailedQueryEndsAtTheResponse) {
  pipeline_.sql_queries = {kBadColumnQuery};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  const QuestionRun run = ask(flow, question(dir_));
  const graph::Json& s = run.state;

  EXPECT_EQ(s["generated_sql_query"].size(), 6u);
  EXPECT_EQ(s["sql_execution_result"].size(), 6u);
  EXPECT_EQ(s["iteration_count"], 5);
  EXPECT_EQ(s["rewrite_count"], 1);
  EXPECT_EQ(run.count("rewrite_query_node"), 1);
  EXPECT_EQ(run.count("sql_error_handler_node"), 6);
  EXPECT_EQ(run.count("pandas_generator_node"), 0);
  EXPECT_EQ(run.nodes().back(), "final_response_generation_node");
  EXPECT_EQ(s["final_response"], "AC/DC leads.");
  EXPECT_FALSE(s.contains("pandas_code"));
  // The response saw the sixth query's own outcome and no analysis.
  const auto response = pipeline_.requests_for("GenerationOutput");
  ASSERT_EQ(response.size(), 1u);
  const std::string prompt = response[0].last_message();
  EXPECT_NE(prompt.find("SQL query result: " + s["sql_execution_result"][5].get<std::string>()),
            std::string::npos);
  EXPECT_NE(prompt.find("Python code: None\n"), std::string::npos);
}

TEST_F(QuestionOnSqlite, InventedAndMisspelledTablesNeverReachSchemaSelection) {
  // Unfiltered, an invented name would end the run with the facade's unknown-table error.
  pipeline_.relevant_tables = {"artist", "Invented", "ALBUM", "Artist"};
  pipeline_.sql_queries = {good_query_};
  pipeline_.pandas_codes = {"print('ok')"};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  const QuestionRun run = ask(flow, question(dir_));
  EXPECT_EQ(run.state["relevant_tables"], (graph::Json{"Artist", "Album"}));
  EXPECT_EQ(run.state["schemas_from_relevant_tables"], db_->get_table_info("Artist,Album"));
}

TEST_F(QuestionOnSqlite, InputCountAboveTheLimitTakesTheTerminalUpdate) {
  pipeline_.sql_queries = {kBadColumnQuery};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  graph::Json inputs = question(dir_);
  inputs["iteration_count"] = 7;
  const QuestionRun run = ask(flow, inputs);
  EXPECT_EQ(run.state["sql_execution_result"].back(), flow_stages::kSqlTerminalMessage);
  EXPECT_EQ(run.state["iteration_count"], 7);
  EXPECT_EQ(run.count("sql_generation_node"), 1);
  EXPECT_EQ(run.nodes().back(), "final_response_generation_node");
}

// Analysis code that always fails, under each repair limit (-1: the run names none).
class AnalysisRepairLoop : public QuestionOnSqlite, public ::testing::WithParamInterface<int> {};

TEST_P(AnalysisRepairLoop, GivesUpAfterTheLimit) {
  const int limit = GetParam();
  const int effective = limit < 0 ? 3 : limit;
  pipeline_.sql_queries = {good_query_};
  pipeline_.pandas_codes = {kFailingCode};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  graph::Json inputs = question(dir_);
  if (limit >= 0) inputs["max_iterations_pandas"] = limit;
  const QuestionRun run = ask(flow, inputs);
  const graph::Json& s = run.state;

  const int attempts = std::max(effective, 1);
  EXPECT_EQ(run.count("pandas_generator_node"), attempts);
  EXPECT_EQ(run.count("pandas_executor_node"), attempts);
  EXPECT_EQ(run.count("pandas_error_handler_node"), attempts);
  // A response after every analysis run, and one more from the handler's give-up.
  EXPECT_EQ(run.count("final_response_generation_node"), attempts + 1);
  EXPECT_EQ(s["iteration_count_pandas"], effective);
  EXPECT_EQ(s["python_execution_success"], false);
  EXPECT_EQ(s["python_error_message"], "ValueError: no chart today");
  if (limit == 0) {
    EXPECT_EQ(s["python_executed_output"], flow_stages::kPythonTerminalMessage);
  } else {
    EXPECT_FALSE(s.contains("python_executed_output"));
  }
  // The response node and the error handler ran in one step after every failed run.
  int shared_steps = 0;
  for (const auto& [step, names] : run.steps) {
    if (names ==
        std::vector<std::string>{"final_response_generation_node", "pandas_error_handler_node"}) {
      ++shared_steps;
    }
  }
  EXPECT_EQ(shared_steps, attempts);
  EXPECT_EQ(pipeline_.requests_for("GenerationOutput").size(),
            static_cast<std::size_t>(attempts + 1));
}

INSTANTIATE_TEST_SUITE_P(Limits, AnalysisRepairLoop, ::testing::Values(0, 1, 2, -1),
                         [](const auto& info) {
                           return info.param < 0 ? std::string("Default")
                                                 : "Max" + std::to_string(info.param);
                         });

TEST_F(QuestionOnSqlite, RepairedAnalysisCodeSeesItsErrorAndAnswersLast) {
  pipeline_.sql_queries = {good_query_};
  pipeline_.pandas_codes = {kFailingCode, "print('fixed')"};
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  const QuestionRun run = ask(flow, question(dir_));

  EXPECT_EQ(run.state["python_execution_success"], true);
  EXPECT_EQ(run.state["python_executed_output"], "fixed\n");
  EXPECT_EQ(run.state["pandas_code"], "print('fixed')");
  EXPECT_EQ(run.state["iteration_count_pandas"], 1);
  const auto code = pipeline_.requests_for("PythonCodeInput");
  ASSERT_EQ(code.size(), 2u);
  ASSERT_EQ(code[1].messages().size(), 1u);
  EXPECT_NE(code[1].last_message().find(kFailingCode), std::string::npos);
  EXPECT_NE(code[1].last_message().find("ValueError: no chart today"), std::string::npos);
  // The last response written is the one after the repaired run.
  const auto responses = pipeline_.requests_for("GenerationOutput");
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_NE(responses[1].last_message().find("Python executed result: fixed\n"), std::string::npos);
}

TEST_F(QuestionOnSqlite, ChatServiceDownEndsTheRunWithThatError) {
  auto small = pipeline_.small_settings();
  small.azure_endpoint = "http://127.0.0.1:" + std::to_string(norvex::test::closed_local_port());
  const QueryFlow flow(db_, small, pipeline_.big_settings());
  EXPECT_THROW((void)flow.invoke(question(dir_)), ChatServiceError);
}

TEST_F(QuestionOnSqlite, UnparseableAnswerEndsTheRunWithThatError) {
  pipeline_.override =
      [](const RecordedRequest& request) -> std::optional<norvex::test::ScriptedAnswer> {
    if (request.requested_record() != "SQLQueryInput") return std::nullopt;
    return test::FakeChatServer::tool_call_raw("SQLQueryInput", "{\"sql_query\": ");
  };
  const QueryFlow flow(db_, pipeline_.small_settings(), pipeline_.big_settings());
  EXPECT_THROW((void)flow.invoke(question(dir_)), OutputParseError);
  EXPECT_TRUE(pipeline_.requests_for("").empty());  // the run stopped at SQL generation
}

}  // namespace
}  // namespace norvex::query_flow

namespace norvex::query_flow {
namespace {

// Replay is for demos and tests: a recorded question answers again under another save path,
// and the replayed analysis code writes its chart there.
TEST(ReplayedQuestion, WritesItsChartUnderTheRunsSavePath) {
  const auto db = open(test::sqlite_engine());
  const auto recorded_dir = test::save_dir();
  const auto cassette = test::save_dir() / "question.jsonl";
  {
    ScriptedPipeline pipeline;
    pipeline.sql_queries = {test::top_artists_query(test::sqlite_engine())};
    pipeline.pandas_codes = {test::chart_code(recorded_dir)};
    auto small = pipeline.small_settings();
    auto big = pipeline.big_settings();
    small.record_to = big.record_to = cassette.string();
    const QueryFlow flow(db, small, big);
    (void)flow.invoke(question(recorded_dir));
    ASSERT_TRUE(std::filesystem::exists(recorded_dir / "chart.png"));
  }
  llm::AzureOpenAIChat35 small;
  small.provider = llm::Provider::replay;
  small.cassette = cassette.string();
  llm::AzureOpenAIChat4 big;
  static_cast<llm::ModelSettings&>(big) = small;
  const QueryFlow flow(db, small, big);
  const auto replay_dir = test::save_dir();
  const graph::Json state = flow.invoke(question(replay_dir));
  EXPECT_EQ(state["python_executed_output"], "Top artist: Iron Maiden\n");
  EXPECT_TRUE(std::filesystem::exists(replay_dir / "chart.png"));
  EXPECT_EQ(state["pandas_code"], test::chart_code(replay_dir));
}

}  // namespace
}  // namespace norvex::query_flow

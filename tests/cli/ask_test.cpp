// `norvex ask` and `norvex graph` run as a user runs them: the program is a child process,
// the chat service is the scripted one of the query flow tests, the databases are Chinook.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "query_flow_test_support.hpp"
#include "support/cli_process.hpp"
#include "support/python_scratch.hpp"
#include "support/servers.hpp"

namespace norvex::test {
namespace {

using norvex::query_flow::test::Engine;
using norvex::query_flow::test::ScriptedPipeline;
using Environment = std::map<std::string, std::optional<std::string>>;
using Json = nlohmann::ordered_json;

const std::string kProgram = NORVEX_CLI_PROGRAM;
constexpr const char* kQuestion = "Which artists have the most albums?";
const std::vector<std::string> kNodes = {"init_node",
                                         "table_names_lookup_node",
                                         "relevant_table_names_node",
                                         "relevant_schemas_node",
                                         "sql_generation_node",
                                         "sql_syntax_checker_node",
                                         "sql_execution_node",
                                         "pandas_generator_node",
                                         "pandas_executor_node",
                                         "final_response_generation_node"};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A user's working directory with a model configuration file aimed at the scripted service.
class AskSession {
 public:
  explicit AskSession(ScriptedPipeline& pipeline) : dir_("norvex-ask") {
    const auto small = pipeline.small_settings();
    const auto big = pipeline.big_settings();
    const Json config = {{"models",
                          {{{"model", "GPT-3.5"},
                            {"deployment_name", *small.azure_deployment},
                            {"azure_endpoint", *small.azure_endpoint},
                            {"api_key", "${SMALL_KEY}"},
                            {"api_version", *small.api_version},
                            {"max_retries", 0}},
                           {{"model", "GPT-4-turbo"},
                            {"provider", "openai"},
                            {"deployment_name", *big.azure_deployment},
                            {"azure_endpoint", *big.azure_endpoint},
                            {"api_key", "test-key-big"},
                            {"max_retries", 0}}}}};
    std::ofstream(dir_.path() / "norvex_models.json") << config.dump(2);
  }

  ProgramRun norvex(std::vector<std::string> args, Environment extra = {}) const {
    args.insert(args.begin(), kProgram);
    Environment env = {{"NORVEX_DOTENV", std::nullopt},
                       {"NORVEX_MODEL_CONFIG", std::nullopt},
                       {"NORVEX_DB_PASSWORD", std::nullopt},
                       {"SMALL_KEY", "test-key-small"}};
    for (auto& [name, value] : extra) env[name] = value;
    return run_program(args, dir_.path(), env);
  }
  [[nodiscard]] std::filesystem::path path() const { return dir_.path(); }

 private:
  ScratchDir dir_;
};

class AskOnEngine : public ::testing::TestWithParam<Engine> {};

TEST_P(AskOnEngine, JsonOutputIsTheResultRecordAloneAndProgressGoesToStandardError) {
  const auto uri = GetParam().uri();
  if (!uri)
    NORVEX_SKIP_OR_FAIL(GetParam().name + " server is not running (scripts/servers.sh start)");
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  const auto media = session.path() / "charts";
  pipeline.sql_queries = {query_flow::test::top_artists_query(GetParam())};
  // Analysis code that writes straight to file descriptor 1 must not spoil the JSON.
  pipeline.pandas_codes = {query_flow::test::chart_code(media) +
                           "import os\nos.write(1, b'written to descriptor 1\\n')\n"};
  pipeline.image_path = (media / "chart.png").string();

  const auto run = session.norvex({"ask", kQuestion, "--db", *uri, "--media", "charts", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json result = Json::parse(run.out);  // nothing but the record on standard output
  std::vector<std::string> keys;
  for (const auto& [key, value] : result.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"output", "python_code", "image_path",
                                            "generated_query", "sql_execution_result"}));
  EXPECT_EQ(result["output"], "AC/DC leads.");
  EXPECT_NE(result["sql_execution_result"].dump().find("Iron Maiden"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(media / "chart.png"));

  // The agent's own line and the progress display went to standard error.
  EXPECT_TRUE(contains(run.err, "Agent is Ready!\n")) << run.err;
  std::size_t at = 0;
  for (const auto& node : kNodes) {
    const std::regex line("\n  " + node + " +[0-9]+\\.[0-9]{2} s");
    std::smatch match;
    const std::string rest = run.err.substr(at);
    ASSERT_TRUE(std::regex_search(rest, match, line)) << node << "\n" << run.err;
    at += static_cast<std::size_t>(match.position(0)) + 1;  // steps appear in order
  }
  EXPECT_TRUE(std::regex_search(run.err, std::regex("  sql_generation_node +[0-9.]+ s  18 tokens")))
      << run.err;
  EXPECT_TRUE(std::regex_search(
      run.err, std::regex("\ndone in [0-9.]+ s: 5 model calls, 90 tokens \\(55 prompt \\+ 35 "
                          "completion\\)\n")))
      << run.err;
  EXPECT_FALSE(contains(run.out + run.err, "test-key")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Chinook, AskOnEngine, ::testing::ValuesIn(query_flow::test::engines()),
                         [](const auto& info) { return info.param.name; });

TEST(Ask, ShowsAnswerSqlRowsAsATableCodeAndChart) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  const auto& engine = query_flow::test::sqlite_engine();
  pipeline.sql_queries = {query_flow::test::top_artists_query(engine)};
  pipeline.pandas_codes = {"print('hello from the analysis')"};
  pipeline.image_path = "charts/none.png";
  const auto run = session.norvex({"ask", kQuestion, "--db", *engine.uri(), "--quiet"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.out, "Agent is Ready!\nAnswer:\n  AC/DC leads.\n")) << run.out;
  EXPECT_TRUE(contains(run.out, "SQL:\n  " + query_flow::test::top_artists_query(engine) + "\n"))
      << run.out;
  EXPECT_TRUE(
      std::regex_search(run.out, std::regex("Rows:\n  Iron Maiden +21\n  Led Zeppelin +14\n")))
      << run.out;
  EXPECT_TRUE(contains(run.out, "Analysis code:\n  print('hello from the analysis')\n")) << run.out;
  EXPECT_TRUE(contains(run.out, "Chart: charts/none.png (no such file)\n")) << run.out;
  EXPECT_EQ(run.err, "");  // --quiet: no progress, and the stages' log is off by default
  EXPECT_TRUE(std::filesystem::is_directory(session.path() / "norvex_media"));
}

TEST(Ask, RecordedAnswersReplayOfflineWithTheSameResult) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  const auto& engine = query_flow::test::sqlite_engine();
  pipeline.sql_queries = {query_flow::test::top_artists_query(engine)};
  pipeline.pandas_codes = {"print('ok')"};
  const auto recorded = session.norvex(
      {"ask", kQuestion, "--db", *engine.uri(), "--record", "q.jsonl", "--json", "--quiet"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  const std::size_t asked = pipeline.server().request_count();

  // No configuration at all: the cassette answers.
  std::filesystem::remove(session.path() / "norvex_models.json");
  const auto replayed = session.norvex(
      {"ask", kQuestion, "--db", *engine.uri(), "--replay", "q.jsonl", "--json", "--quiet"});
  ASSERT_EQ(replayed.status, 0) << replayed.err;
  EXPECT_EQ(Json::parse(replayed.out), Json::parse(recorded.out));
  EXPECT_EQ(pipeline.server().request_count(), asked);

  // Another question does not match the recording: a clear failure, not a wrong answer.
  const auto other = session.norvex(
      {"ask", "Something else?", "--db", *engine.uri(), "--replay", "q.jsonl", "--json"});
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(Json::parse(other.out), Json({{"output", "An error occurred"}}));
  EXPECT_TRUE(contains(other.err, "An error occurred when running the agent: ")) << other.err;
  EXPECT_TRUE(contains(other.err, "Traceback")) << other.err;
}

TEST(Ask, AFailedRunExitsNonZeroWithTheErrorRecord) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  pipeline.override = [](const RecordedRequest& request) -> std::optional<ScriptedAnswer> {
    if (request.requested_record() == "SQLQueryInput") {
      return FakeChatServer::error(401, "Access denied due to invalid subscription key.");
    }
    return std::nullopt;
  };
  const auto run = session.norvex(
      {"ask", kQuestion, "--db", *query_flow::test::sqlite_engine().uri(), "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Json::parse(run.out), Json({{"output", "An error occurred"}}));
  EXPECT_TRUE(contains(run.err, "invalid subscription key")) << run.err;
  EXPECT_TRUE(std::regex_search(run.err, std::regex("  sql_generation_node +[0-9.]+ s  failed")))
      << run.err;
  EXPECT_FALSE(contains(run.err, "test-key"));
}

TEST(Ask, WithoutModelsItSaysHowToConfigureThem) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  std::filesystem::remove(session.path() / "norvex_models.json");
  const auto run =
      session.norvex({"ask", kQuestion, "--db", *query_flow::test::sqlite_engine().uri()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Internal Server Error!\n");
  EXPECT_TRUE(contains(run.err, "no chat models are configured")) << run.err;

  std::ofstream(session.path() / "broken.json") << "{\"models\": [{\"model\": 1}]}";
  const auto broken =
      session.norvex({"ask", kQuestion, "--db", *query_flow::test::sqlite_engine().uri()},
                     {{"NORVEX_MODEL_CONFIG", "broken.json"}});
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(contains(broken.err, "broken.json")) << broken.err;
}

TEST(Ask, AWrongDatabasePasswordFailsClearlyWithoutShowingIt) {
  const auto server = pg_server();
  if (!server) NORVEX_SKIP_OR_FAIL("PostgreSQL is not running (scripts/servers.sh start)");
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  const std::vector<std::string> base = {
      "ask",    kQuestion,    "--engine",   "postgresql",
      "--host", server->host, "--port",     std::to_string(server->port),
      "--user", server->user, "--database", server->database};
  auto with_option = base;
  with_option.insert(with_option.end(), {"--password", "Wr0ng-Secret"});
  for (const auto& run : {session.norvex(with_option),
                          session.norvex(base, {{"NORVEX_DB_PASSWORD", "Wr0ng-Secret"}})}) {
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.err, "norvex: error: ")) << run.err;
    EXPECT_TRUE(contains(run.err, "password authentication failed")) << run.err;
    EXPECT_FALSE(contains(run.out + run.err, "Wr0ng-Secret")) << run.err;
  }
  EXPECT_EQ(pipeline.server().request_count(), 0u);

  // The right password from the variable works.
  pipeline.sql_queries = {
      query_flow::test::top_artists_query(sql::test::chinook_engine("postgresql"))};
  pipeline.pandas_codes = {"print('ok')"};
  const auto ok = session.norvex(base, {{"NORVEX_DB_PASSWORD", server->password}});
  EXPECT_EQ(ok.status, 0) << ok.err;
}

TEST(Ask, BadArgumentsPrintUsageAndFail) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  const std::string db = "sqlite:///x.db";
  const std::vector<std::vector<std::string>> commands = {
      {"ask"},
      {"ask", kQuestion},                                       // no database
      {"ask", kQuestion, "--db", db, "--host", "127.0.0.1"},    // both forms
      {"ask", kQuestion, "--engine", "oracle", "--host", "h"},  // unknown engine
      {"ask", kQuestion, "--host", "127.0.0.1"},                // no engine
      {"ask", kQuestion, "--db", db, "--replay", "a", "--record", "b"},
      {"ask", kQuestion, "--db", db, "--port", "many"},
      {"graph", "--offline"},
  };
  for (const auto& args : commands) {
    const auto run = session.norvex(args);
    EXPECT_NE(run.status, 0) << args.size();
    EXPECT_TRUE(contains(run.err, "Usage: norvex")) << run.err;
    EXPECT_EQ(run.out, "");
  }
  const auto missing = session.norvex({"ask", kQuestion, "--db", db, "--replay", "none.jsonl"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.err, "none.jsonl")) << missing.err;
  for (const auto& help : {std::vector<std::string>{"ask", "--help"}, {"graph", "--help"}}) {
    const auto run = session.norvex(help);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(contains(run.out, "Usage: norvex")) << run.out;
  }
}

TEST(AskFiles, JoinsTwoCsvFilesWithTheModelsSqlAndRefusesHostileSql) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  std::ofstream(session.path() / "orders.csv")
      << "order_id;customer_id;total;placed\n1;10;12.5;2024-01-05\n2;11;7.5;2024-02-01\n"
         "3;10;20;2024-03-09\n";
  std::ofstream(session.path() / "people.csv") << "id,name\n10,\"Smith, Ann\"\n11,Bo\n";
  pipeline.relevant_tables = {"orders", "customers"};
  const std::string join =
      "SELECT c.name, SUM(o.total) AS spent FROM orders AS o JOIN customers AS c ON c.id = "
      "o.customer_id WHERE o.placed >= '2024-02-01' GROUP BY c.name ORDER BY spent DESC";
  // The first query would destroy a table: it is refused and repaired.
  pipeline.sql_queries = {"DROP TABLE orders", join};
  pipeline.pandas_codes = {"print('done')"};
  pipeline.final_response = "Ann spent the most.";

  const auto run =
      session.norvex({"ask", "--file", "orders.csv", "--file", "customers=people.csv",
                      "Who spent the most since February?", "--json", "--save-db", "kept.db"});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json result = Json::parse(run.out);
  EXPECT_EQ(result["output"], "Ann spent the most.");
  EXPECT_EQ(result["generated_query"], Json::array({"DROP TABLE orders", join}));
  EXPECT_EQ(result["sql_execution_result"].back(), "[('Smith, Ann', 20.0), ('Bo', 7.5)]");
  EXPECT_TRUE(contains(run.err, "loaded orders.csv into table orders: 3 rows")) << run.err;
  EXPECT_TRUE(contains(run.err, "loaded people.csv into table customers: 2 rows")) << run.err;

  // The saved database still holds every row and serves a second question.
  pipeline.sql_queries = {"SELECT COUNT(*) FROM orders"};
  pipeline.pandas_codes = {"print('done')"};
  const auto again =
      session.norvex({"ask", "How many orders?", "--db", "sqlite:///kept.db", "--json", "--quiet"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(Json::parse(again.out)["sql_execution_result"].back(), "[(3,)]");
  // Nothing is overwritten.
  const auto refused = session.norvex(
      {"ask", "--file", "orders.csv", "--save-db", "kept.db", "How many orders?", "--quiet"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(contains(refused.err, "'kept.db' exists already")) << refused.err;
}

TEST(AskFiles, SchemaOfFilesAndMalformedRowsAreReportedWithTheirLine) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  std::ofstream(session.path() / "sales.tsv") << "day\tunits\n2024-01-01\t3\n2024-01-02\n";
  const auto bad = session.norvex({"db", "schema", "--file", "sales.tsv"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(contains(bad.err, "sales.tsv, line 3: expected 2 fields, found 1")) << bad.err;
  const auto skipped = session.norvex({"db", "schema", "--file", "sales.tsv", "--skip-bad-rows"});
  ASSERT_EQ(skipped.status, 0) << skipped.err;
  EXPECT_EQ(skipped.out, "sales\n  day    DATE\n  units  INTEGER\n");
  EXPECT_TRUE(contains(skipped.err, "1 malformed rows of sales.tsv were skipped (lines 3)"))
      << skipped.err;
  const auto negative =
      session.norvex({"db", "schema", "--file", "sales.tsv", "--max-file-size", "-5"});
  EXPECT_EQ(negative.status, 1);
  EXPECT_TRUE(contains(negative.err, "--max-file-size takes a size")) << negative.err;
}

TEST(AskFiles, GermanAndUsExportsAnswerTheRightTotalsAndMonths) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  std::ofstream(session.path() / "buchungen.csv", std::ios::binary)
      << "\xef\xbb\xbf"
         "Datum;Kunde;Betrag\r\n15.03.2024;Müller;1.234,56\r\n"
         "20.03.2024;Schmidt;99,90\r\n02.04.2024;Weiß;12\r\n";
  pipeline.relevant_tables = {"buchungen"};
  pipeline.sql_queries = {
      "SELECT strftime('%Y-%m', Datum) AS Monat, ROUND(SUM(Betrag), 2) AS Summe FROM buchungen "
      "GROUP BY Monat ORDER BY Monat"};
  pipeline.pandas_codes = {"print('ok')"};
  const auto german = session.norvex(
      {"ask", "--file", "buchungen.csv", "Wie viel pro Monat?", "--json", "--quiet"});
  ASSERT_EQ(german.status, 0) << german.err;
  EXPECT_EQ(Json::parse(german.out)["sql_execution_result"].back(),
            "[('2024-03', 1334.46), ('2024-04', 12.0)]");
  // The model was told how the amounts were written.
  const auto asked = pipeline.requests_for("SQLQueryInput");
  ASSERT_FALSE(asked.empty());
  EXPECT_TRUE(contains(asked.back().body, "Betrag: decimal comma, thousands '.'"))
      << asked.back().body;

  std::ofstream(session.path() / "sales.csv")
      << "date,customer,amount,discount\n01/02/2024,Ann,\"$1,234.56\",10%\n"
         "03/15/2024,Bo,\"$2,000.00\",5%\n03/20/2024,Cy,$99.90,0%\n";
  pipeline.relevant_tables = {"sales"};
  pipeline.sql_queries = {
      "SELECT ROUND(SUM(amount), 2), ROUND(SUM(amount * (1 - discount)), 2) FROM sales "
      "WHERE date >= '2024-03-01' AND date < '2024-04-01'"};
  pipeline.pandas_codes = {"print('ok')"};
  const auto us =
      session.norvex({"ask", "--file", "sales.csv", "How much in March?", "--json", "--quiet"});
  ASSERT_EQ(us.status, 0) << us.err;
  EXPECT_EQ(Json::parse(us.out)["sql_execution_result"].back(), "[(2099.9, 1999.9)]");
}

TEST(AskFiles, ASignalDuringALoadEndsTheWorkbookReaderAndLeavesNothingBehind) {
  ScriptedPipeline pipeline;
  AskSession session(pipeline);
  const auto tmp = session.path() / "tmp";
  std::filesystem::create_directories(tmp);
  std::filesystem::create_directories(session.path() / "py" / "bin");
  const auto python = session.path() / "py" / "bin" / "python3";
  // The reader may start no program of its own, so the stand-in sleeps in Python itself.
  std::ofstream(python) << "#!/usr/bin/python3\nimport os, time\n"
                           "open('reader.pid', 'w').write(str(os.getpid()))\ntime.sleep(120)\n";
  std::filesystem::permissions(python, std::filesystem::perms::owner_all);
  std::ofstream(session.path() / "book.xlsx") << "not read";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (::chdir(session.path().c_str()) != 0) ::_exit(126);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::setenv("NORVEX_PYTHON", python.c_str(), 1);
    ::execl(kProgram.c_str(), kProgram.c_str(), "db", "schema", "--file", "book.xlsx", nullptr);
    ::_exit(127);
  }
  // The reader writes its pid into its scratch folder once it runs.
  pid_t reader = 0;
  for (int i = 0; i < 600 && reader == 0; ++i) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tmp)) {
      if (entry.path().filename() != "reader.pid") continue;
      std::ifstream in(entry.path());
      in >> reader;
    }
    if (reader == 0) ::usleep(50 * 1000);
  }
  ASSERT_GT(reader, 0);
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  // The reader goes with its parent (a zombie of no one counts as gone).
  const auto alive = [&] {
    std::ifstream stat("/proc/" + std::to_string(reader) + "/stat");
    std::string pid_text, name, state;
    return stat >> pid_text >> name >> state && state != "Z";
  };
  for (int i = 0; i < 200 && alive(); ++i) ::usleep(50 * 1000);
  EXPECT_FALSE(alive());
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
}

TEST(Graph, DrawsTheTextDrawingAndAnOfflinePng) {
  ScratchDir dir("norvex-graph");
  const auto text = run_program({kProgram, "graph"}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  for (const auto& node : kNodes) EXPECT_TRUE(contains(text.out, node)) << node;
  EXPECT_TRUE(contains(text.out, "sql_error_handler_node"));

  const auto png = run_program({kProgram, "graph", "--png", "flow.png", "--offline"}, dir.path());
  ASSERT_EQ(png.status, 0) << png.err;
  std::ifstream in(dir.path() / "flow.png", std::ios::binary);
  std::string magic(8, '\0');
  in.read(magic.data(), 8);
  EXPECT_EQ(magic, "\x89PNG\r\n\x1a\n");

  // The rendering service is unreachable: a clear failure and no file.
  const auto online = run_program(
      {kProgram, "graph", "--png", "online.png"}, dir.path(),
      {{"NORVEX_MERMAID_URL", "http://127.0.0.1:" + std::to_string(closed_local_port())}});
  EXPECT_EQ(online.status, 1);
  EXPECT_TRUE(contains(online.err, "norvex: error: ")) << online.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "online.png"));
}

}  // namespace
}  // namespace norvex::test

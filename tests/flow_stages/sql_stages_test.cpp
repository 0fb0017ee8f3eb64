// Table discovery, question rewriting, schema selection, SQL generation, check and execution
// against a Chinook SQLite database, with the fake chat server answering.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norvex/error.hpp"
#include "norvex/prompts/prompt_template.hpp"
#include "norvex/prompts/templates.hpp"
#include "norvex/prompts/variables.hpp"
#include "stage_test_support.hpp"
#include "support/servers.hpp"

namespace norvex::flow_stages {
namespace {

using graph::Json;
using prompts::TemplateFormat;
using ::testing::ElementsAre;
using testing::make_state;
using ::testing::MatchesRegex;
using testing::merged;
using testing::wire;

std::string render(std::string_view text, const Json& variables,
                   TemplateFormat format = TemplateFormat::f_string) {
  return prompts::render(text, format, variables);
}

class SqlStages : public testing::StageTest {};

TEST_F(SqlStages, TableNamesLookupStoresTheListingWhateverTheState) {
  TableNamesLookup lookup(db_);
  const auto update = lookup.invoke(make_state({{"user_question", "ignored"}}));
  EXPECT_EQ(update.to_json(), (Json{{"table_names_from_db", db_->table_listing()}}));
  EXPECT_THAT(db_->table_listing(), ::testing::HasSubstr("Album, Artist"));
}

TEST_F(SqlStages, RelevantTableNamesAsksWithTheRewrittenQuestionAndAppendsTheTail) {
  RelevantTableNames stage(db_, model());
  const auto state = make_state({{"user_question", "asked"},
                                 {"rewritten_question", "rewritten"},
                                 {"table_names_from_db", {"Album", "Artist"}}});
  const auto prompt = stage.generate_prompt(state);
  const std::string human =
      render(prompts::GET_RELEVANT_TABLE_NAMES_TEMPLATE,
             {{"user_question", "rewritten"}, {"table_names_from_db", "Album,Artist"}}) +
      std::string(prompts::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE);
  EXPECT_THAT(wire(prompt),
              ElementsAre(std::pair<std::string, std::string>(
                              "system", render(prompts::SQL_PREFIX, {{"dialect", "sqlite"}})),
                          std::pair<std::string, std::string>("user", human)));
  EXPECT_THAT(human, ::testing::HasSubstr(R"({"relevant_tables": [)")) << "tail kept verbatim";

  // An empty rewrite leaves the question as asked; a listing text is passed unchanged.
  const auto plain = stage.generate_prompt(make_state(
      {{"user_question", "asked"}, {"rewritten_question", ""}, {"table_names_from_db", "A, B"}}));
  EXPECT_THAT(plain.at(1).content, ::testing::HasSubstr("<user_question>asked</user_question>"));
  EXPECT_THAT(plain.at(1).content, ::testing::HasSubstr("A, B"));

  answer({{"relevant_tables", {"Album", "Artist"}}});
  const auto update = stage.invoke(state);
  EXPECT_EQ(update.to_json(), (Json{{"relevant_tables", {"Album", "Artist"}}}));
  EXPECT_EQ(sent(0), wire(prompt));
  EXPECT_EQ(server_.last_request().requested_record(), "RelevantTablesOutput");
}

TEST_F(SqlStages, RewriteQueryShowsEveryTableSchemaAndTheQuestionAsAsked) {
  RewriteQuery stage(db_, model());
  const auto listing = db_->table_listing();
  const auto state = make_state({{"user_question", "asked"},
                                 {"rewritten_question", "an earlier rewrite"},
                                 {"table_names_from_db", listing}});
  const auto expected = render(
      prompts::REWRITE_QUESTION_TEMPLATE,
      {{"user_question", "asked"}, {"schemas_from_all_tables", db_->get_table_info(listing)}});
  EXPECT_THAT(wire(stage.generate_prompt(state)),
              ElementsAre(std::pair<std::string, std::string>("system", expected)));

  answer({{"rewritten_question", "Which albums has AC/DC?"}});
  EXPECT_EQ(stage.invoke(state).to_json(),
            (Json{{"rewritten_question", "Which albums has AC/DC?"}}));
  EXPECT_EQ(sent(0), (testing::Messages{{"system", expected}}));
}

TEST_F(SqlStages, RelevantSchemasFetchesTheChosenTablesAndResetsTheSqlMode) {
  RelevantSchemas stage(db_);
  const auto update = stage.invoke(make_state({{"relevant_tables", {"Track", "Album", "Artist"}},
                                               {"sql_generation_prompt_type", "correction"}}));
  EXPECT_EQ(update.to_json(),
            (Json{{"sql_generation_prompt_type", "generation"},
                  {"schemas_from_relevant_tables", db_->get_table_info("Track,Album,Artist")}}));
  EXPECT_THROW((void)stage.invoke(make_state()), MissingFieldError);
}

graph::State generation_state(std::string mode) {
  return make_state({{"user_question", "How many albums?"},
                     {"rewritten_question", "not this"},
                     {"schemas_from_relevant_tables", "CREATE TABLE Album (...)"},
                     {"sql_generation_prompt_type", std::move(mode)}});
}

TEST_F(SqlStages, SqlGenerationFirstAttemptUsesItsOwnSystemTextAndTheQuestionAsAsked) {
  SQLGeneration stage(db_, model());
  const auto messages = stage.generate_messages(generation_state("generation"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].role, prompts::Role::system);
  EXPECT_THAT(messages[0].content,
              ::testing::StartsWith("You are an agent designed to interact with a SQL database.\n"
                                    "Given an input question, create a syntactically correct "
                                    "sqlite query to run,"));
  EXPECT_THAT(messages[0].content,
              ::testing::EndsWith("DELETE, DROP etc.) to the database.\n\nIf the question does "
                                  "not seem related to the database, just return \"I don't "
                                  "know\" as the answer."));
  EXPECT_EQ(std::count(messages[0].content.begin(), messages[0].content.end(), '\n'), 11);
  EXPECT_EQ(messages[1].role, prompts::Role::human);
  EXPECT_EQ(messages[1].content,
            "How many albums?\n Schemas_from_relevant_tables: CREATE TABLE Album (...)");
}

TEST_F(SqlStages, SqlRepairPairsEveryQueryWithItsOutcome) {
  SQLGeneration stage(db_, model());
  auto state = merged(generation_state("correction"),
                      graph::Update()
                          .set("generated_sql_query", {"SELECT a", "SELECT b", "SELECT c"})
                          .set("sql_execution_result", {"no such column: a", "None"}));
  const auto messages = stage.generate_messages(state);
  const Json pairs = Json::array(
      {Json::array({"SELECT a", "no such column: a"}), Json::array({"SELECT b", "None"})});
  EXPECT_THAT(
      wire(messages),
      ElementsAre(std::pair<std::string, std::string>(
                      "system", render(prompts::SQL_PREFIX, {{"dialect", "sqlite"}})),
                  std::pair<std::string, std::string>(
                      "user", render(prompts::CORRECT_SQL_TEMPLATE,
                                     {{"user_question", "How many albums?"},
                                      {"schemas_from_relevant_tables", "CREATE TABLE Album (...)"},
                                      {"zipped_queries_errors", pairs}},
                                     TemplateFormat::jinja2))));
  EXPECT_THAT(messages[1].content, ::testing::HasSubstr("no such column: a"));
  EXPECT_THAT(messages[1].content, ::testing::Not(::testing::HasSubstr("SELECT c")))
      << "the pairing stops at the shorter list";
}

TEST_F(SqlStages, SqlGenerationRefusesAnUnknownModeAndLogsOnlySuccessfulCalls) {
  testing::LogCapture log;
  SQLGeneration stage(db_, model());
  for (const char* mode : {"", "repair"}) {
    try {
      (void)stage.generate_messages(generation_state(mode));
      FAIL() << "expected ValueError";
    } catch (const ValueError& error) {
      EXPECT_STREQ(error.what(), "Messages not generated correctly.");
    }
  }
  EXPECT_THROW((void)stage.generate_messages(make_state()), ValueError);

  answer({{"sql_query", "SELECT COUNT(*) FROM Album"}});
  const auto state = generation_state("generation");
  auto after = merged(state, stage.invoke(state));
  EXPECT_EQ(sent(0), wire(stage.generate_messages(state)));
  EXPECT_EQ(server_.last_request().requested_record(), "SQLQueryInput");

  answer({{"wrong_field", "x"}});
  EXPECT_THROW((void)stage.invoke(after), OutputParseError);
  EXPECT_EQ(after.at("generated_sql_query"), Json::array({"SELECT COUNT(*) FROM Album"}));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0],
              MatchesRegex(R"(info Invoke generate sql query tooks: [0-9]+\.[0-9]+(e-[0-9]+)?)"));
}

TEST_F(SqlStages, SyntaxCheckReplacesOnlyTheNewestQuery) {
  SQLSyntaxChecker stage(db_, model());
  auto state = make_state({{"generated_sql_query", {"SELECT 1", "SELEC Name FROM Artist"}}});
  answer("```sql\nSELECT Name FROM Artist\n```");
  state = merged(state, stage.invoke(state));
  EXPECT_EQ(state.at("generated_sql_query"), Json::array({"SELECT 1", "SELECT Name FROM Artist"}));
  const auto request = server_.last_request();
  EXPECT_EQ(request.requested_record(), "") << "the checker asks for plain text";
  ASSERT_EQ(request.messages().size(), 1u);
  EXPECT_EQ(request.messages()[0].second, stage.tool().prompt("SELEC Name FROM Artist"));
  EXPECT_THAT(request.messages()[0].second, ::testing::HasSubstr("SELEC Name FROM Artist"));
  EXPECT_THAT(request.messages()[0].second, ::testing::HasSubstr("sqlite"));
  EXPECT_THROW((void)stage.invoke(make_state()), ValueError) << "no query to check";
}

TEST(QueryChecker, StripsOneCodeFenceAroundTheWholeReply) {
  EXPECT_EQ(strip_code_fence("  SELECT 1\n"), "SELECT 1");
  EXPECT_EQ(strip_code_fence("```sql\nSELECT 1\nFROM t\n```"), "SELECT 1\nFROM t");
  EXPECT_EQ(strip_code_fence("```\nSELECT 1\n```\n"), "SELECT 1");
  EXPECT_EQ(strip_code_fence("```SELECT 1```"), "SELECT 1");
  EXPECT_EQ(strip_code_fence("SELECT '```'"), "SELECT '```'");
  EXPECT_EQ(strip_code_fence("``````"), "");
}

TEST_F(SqlStages, ExecutionRecordsRowsNoRowsAndDatabaseErrors) {
  SQLExecution stage(db_);
  const auto run = [&](const std::string& query) {
    return stage.invoke(make_state({{"generated_sql_query", {"earlier", query}}})).to_json();
  };
  EXPECT_EQ(run("SELECT Name FROM Artist WHERE ArtistId = 1"),
            (Json{{"sql_execution_result", {"[('AC/DC',)]"}},
                  {"execution_success", true},
                  {"pandas_generation_prompt_type", "generation"}}));
  EXPECT_EQ(run("SELECT Name FROM Artist WHERE ArtistId = -1"),
            (Json{{"sql_execution_result", {"None"}}, {"execution_success", false}}));

  const auto rejected = run("SELECT Nam FROM Artist");
  EXPECT_EQ(rejected.at("execution_success"), false);
  EXPECT_THAT(rejected.at("sql_execution_result").at(0).get<std::string>(),
              ::testing::HasSubstr("no such column: Nam"));
  EXPECT_EQ(rejected.size(), 2u);
}

TEST_F(SqlStages, ExecutionRefusesWritingStatementsAndLeavesTheDataIntact) {
  SQLExecution stage(db_);
  for (const char* query :
       {"DROP TABLE Track", "DELETE FROM Track", "SELECT 1; DELETE FROM Track"}) {
    SCOPED_TRACE(query);
    const auto update = stage.invoke(make_state({{"generated_sql_query", {query}}})).to_json();
    EXPECT_EQ(update.at("execution_success"), false);
    EXPECT_FALSE(update.at("sql_execution_result").at(0).get<std::string>().empty());
  }
  EXPECT_EQ(db_->run("SELECT COUNT(*) FROM Track"), "[(3503,)]");
}

TEST_F(SqlStages, FailuresOfTheChatServiceReachTheCaller) {
  const int port = test::closed_local_port();
  RelevantTableNames stage(db_, model(port));
  EXPECT_THROW(
      (void)stage.invoke(make_state({{"user_question", "q"}, {"table_names_from_db", "Album"}})),
      ChatServiceError);
  SQLSyntaxChecker checker(db_, model(port));
  EXPECT_THROW((void)checker.invoke(make_state({{"generated_sql_query", {"SELECT 1"}}})),
               ChatServiceError);
}

TEST(StageConstruction, RefusesMissingCollaborators) {
  EXPECT_THROW(TableNamesLookup(nullptr), ArgumentError);
  EXPECT_THROW(SQLExecution(nullptr), ArgumentError);
  EXPECT_THROW(PandasGenerator(nullptr), ArgumentError);
  EXPECT_THROW(GenerateResponse(nullptr), ArgumentError);
}

}  // namespace
}  // namespace norvex::flow_stages

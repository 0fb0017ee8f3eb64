// Analysis code generation and repair, and response generation, with the fake chat server
// answering.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "norvex/error.hpp"
#include "norvex/prompts/prompt_template.hpp"
#include "norvex/prompts/templates.hpp"
#include "norvex/prompts/variables.hpp"
#include "stage_test_support.hpp"

namespace norvex::flow_stages {
namespace {

using graph::Json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::make_state;
using ::testing::MatchesRegex;
using testing::merged;
using testing::wire;

class AnalysisStages : public testing::StageTest {};

graph::State analysis_state(std::string mode, std::string rewritten = "") {
  return make_state({{"user_question", "Top artists?"},
                     {"rewritten_question", std::move(rewritten)},
                     {"generated_sql_query", {"SELECT x", "SELECT Name FROM Artist"}},
                     {"sql_execution_result", {"no such column: x", "[('AC/DC',)]"}},
                     {"save_path", "/tmp/media"},
                     {"pandas_code", "print(df)"},
                     {"python_error_message", "NameError: name 'df' is not defined"},
                     {"pandas_generation_prompt_type", std::move(mode)}});
}

const char* const kRepairText =
    "The user asked the following question:\n"
    "            Which artists sell most?\n"
    "\n"
    "            You generated this python code:\n"
    "            print(df)\n"
    "\n"
    "            It fails with the following error:\n"
    "            NameError: name 'df' is not defined\n"
    "\n"
    "            Fix the python code above and return the new python code:";

TEST_F(AnalysisStages, FirstAttemptShowsEveryQueryWithItsOutcomeAndTheSavePath) {
  PandasGenerator stage(model());
  const auto prompt =
      stage.generate_prompt(analysis_state("generation", "Which artists sell most?"));
  const Json pairs = prompts::zip(Json::array({"SELECT x", "SELECT Name FROM Artist"}),
                                  Json::array({"no such column: x", "[('AC/DC',)]"}));
  const auto system =
      prompts::render(prompts::PANDAS_SYSTEM_TEMPLATE, prompts::TemplateFormat::jinja2,
                      {{"save_path", "/tmp/media"}});
  const auto human = prompts::render(
      prompts::PANDAS_HUMAN_TEMPLATE, prompts::TemplateFormat::jinja2,
      {{"original_question", "Which artists sell most?"}, {"zipped_queries_results", pairs}});
  EXPECT_THAT(wire(prompt), ElementsAre(std::pair<std::string, std::string>("system", system),
                                        std::pair<std::string, std::string>("user", human)));
  EXPECT_THAT(system, HasSubstr("/tmp/media"));
  EXPECT_THAT(human, HasSubstr("no such column: x"));
}

TEST_F(AnalysisStages, RepairIsOneHumanMessageWithTheFailedCodeAndItsError) {
  PandasGenerator generator(model());
  PandasCorrection correction(model());
  const auto state = analysis_state("correction", "Which artists sell most?");
  const testing::Messages expected = {{"user", kRepairText}};
  EXPECT_EQ(wire(generator.generate_prompt(state)), expected);
  EXPECT_EQ(wire(correction.generate_prompt(state)), expected);
  // PandasCorrection builds the repair prompt whatever the mode says.
  EXPECT_EQ(
      wire(correction.generate_prompt(analysis_state("generation", "Which artists sell most?"))),
      expected);

  answer({{"code", "print(1)"}});
  EXPECT_EQ(generator.invoke(state).to_json(), (Json{{"pandas_code", "print(1)"}}));
  answer({{"code", "print(2)"}});
  EXPECT_EQ(correction.invoke(state).to_json(), (Json{{"pandas_code", "print(2)"}}));
  EXPECT_EQ(sent(0), expected);
  EXPECT_EQ(sent(1), expected);
  EXPECT_EQ(server_.last_request().requested_record(), "PythonCodeInput");
}

TEST_F(AnalysisStages, AnUnknownModeOrAMissingFieldFailsTheStage) {
  PandasGenerator stage(model());
  EXPECT_THROW((void)stage.generate_prompt(analysis_state("repair")), ValueError);
  EXPECT_THROW((void)stage.generate_prompt(make_state({{"user_question", "q"}})),
               MissingFieldError);
  auto no_save_path =
      make_state({{"user_question", "q"}, {"pandas_generation_prompt_type", "generation"}});
  EXPECT_THROW((void)stage.generate_prompt(no_save_path), MissingFieldError);
  answer({{"python", "print(1)"}});
  EXPECT_THROW((void)stage.invoke(analysis_state("generation")), OutputParseError);
}

const char* const kResponsePrompt =
    "User question: Top artists?\n"
    "SQL query: ['SELECT x', 'SELECT Name FROM Artist']\n"
    "SQL query result: [('AC/DC',)]\n"
    "Python code: print(df)\n"
    "Python executed result: AC/DC 10\n\n"
    "Use the above result to address user's question.";

TEST_F(AnalysisStages, ResponsePromptSummarisesTheRunInSixLines) {
  testing::LogCapture log;
  GenerateResponse stage(model());
  const auto state = merged(analysis_state("generation"),
                            graph::Update().set("python_executed_output", "AC/DC 10\n"));
  EXPECT_EQ(stage.generate_prompt(state), kResponsePrompt);

  answer({{"image_path", "/tmp/media/chart.png"}, {"final_response", "AC/DC leads."}});
  EXPECT_EQ(stage.invoke(state).to_json(),
            (Json{{"final_response", "AC/DC leads."}, {"image_path", "/tmp/media/chart.png"}}));
  EXPECT_EQ(sent(0), (testing::Messages{{"user", kResponsePrompt}})) << "no system message";
  EXPECT_EQ(server_.last_request().requested_record(), "GenerationOutput");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "info Enter generate response");
  EXPECT_THAT(lines[1], MatchesRegex(R"(info Finish generating response, took [0-9.e-]+)"));
}

TEST_F(AnalysisStages, ResponseAfterATerminalSqlFailureShowsTheAbsentAnalysisAsNone) {
  GenerateResponse stage(model());
  const auto state = make_state({{"user_question", "q"},
                                 {"generated_sql_query", {"SELECT 'it''s'"}},
                                 {"sql_execution_result", {"None"}}});
  EXPECT_EQ(stage.generate_prompt(state),
            "User question: q\nSQL query: [\"SELECT 'it''s'\"]\nSQL query result: None\n"
            "Python code: None\nPython executed result: None\n"
            "Use the above result to address user's question.");
  EXPECT_THROW((void)stage.generate_prompt(make_state({{"user_question", "q"}})), ValueError)
      << "no query result at all";
}

TEST_F(AnalysisStages, AFailedResponseCallLogsOnlyTheStart) {
  testing::LogCapture log;
  GenerateResponse stage(model());
  answer({{"final_response", "no image path"}});
  EXPECT_THROW((void)stage.invoke(analysis_state("generation")), OutputParseError);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"info Enter generate response"});
}

TEST_F(AnalysisStages, WithoutASinkTheLinesGoToTheModuleLoggerOnStandardError) {
  GenerateResponse stage(model());
  answer({{"image_path", ""}, {"final_response", "ok"}});
  ::testing::internal::CaptureStderr();
  (void)stage.invoke(analysis_state("generation"));
  const auto err = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("[info] Enter generate response"));
  EXPECT_THAT(err, HasSubstr("[info] Finish generating response, took "));
}

TEST(ElapsedSeconds, ReadBackToTheSameValueInPythonsNotation) {
  EXPECT_EQ(format_seconds(2.3456), "2.3456");
  EXPECT_EQ(format_seconds(0.5), "0.5");
  EXPECT_EQ(format_seconds(3.0), "3.0");
  EXPECT_EQ(format_seconds(0.0), "0.0");
  EXPECT_EQ(format_seconds(0.000123), "0.000123");
  EXPECT_EQ(format_seconds(0.00001), "1e-05");
  EXPECT_EQ(format_seconds(1234.5), "1234.5");
  EXPECT_EQ(format_seconds(1e16), "1e+16");
  for (double value : {0.1 + 0.2, 1.0 / 3.0, 12.000001, 7e-5}) {
    EXPECT_EQ(std::stod(format_seconds(value)), value) << format_seconds(value);
  }
}

TEST(AnswerRecords, CarryTheDescriptionsTheModelSees) {
  EXPECT_EQ(RelevantTablesOutput::schema().fields.at(0).description,
            "List of relevant table names");
  EXPECT_EQ(RelevantTablesOutput::schema().fields.at(0).type, llm::FieldType::text_list);
  EXPECT_EQ(RewriteQueryOutput::schema().fields.at(0).description, "Rewritten question");
  EXPECT_EQ(PythonCodeInput::schema().fields.at(0).description, "Python code to be executed");
  EXPECT_EQ(SQLQueryInput::schema().fields.at(0).description, "SQL query string to be executed");
  const auto& generation = GenerationOutput::schema();
  ASSERT_EQ(generation.fields.size(), 2u);
  EXPECT_EQ(generation.fields[0].name, "image_path");
  EXPECT_EQ(generation.fields[0].description, "image path generated if exists in context");
  EXPECT_EQ(generation.fields[1].name, "final_response");
  EXPECT_THROW((void)RelevantTablesOutput::from_json({{"relevant_tables", {"a", 1}}}),
               OutputParseError);
  EXPECT_THROW((void)SQLQueryInput::from_json(Json::object()), OutputParseError);
}

}  // namespace
}  // namespace norvex::flow_stages

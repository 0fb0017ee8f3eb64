// The fixed prompt texts and what the pipeline gets when it renders them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/prompts/render.hpp"
#include "norvex/prompts/templates.hpp"

namespace norvex::prompts {
namespace {

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    lines.emplace_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (auto pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

std::size_t count(std::string_view text, std::string_view part) {
  std::size_t n = 0;
  for (auto pos = text.find(part); pos != std::string_view::npos; pos = text.find(part, pos + 1)) {
    ++n;
  }
  return n;
}

struct Expected {
  std::string_view name;
  std::string_view text;
  std::size_t characters;
  std::size_t lines;
  std::vector<std::size_t> lines_ending_in_blank;  // 1-based
};

TEST(PromptCatalogue, TextsHaveTheirExactLengthLinesAndLineEndBlanks) {
  const std::vector<Expected> expected{
      {"SQL_PREFIX", SQL_PREFIX, 319, 10, {}},
      {"GET_RELEVANT_TABLE_NAMES_TEMPLATE", GET_RELEVANT_TABLE_NAMES_TEMPLATE, 130, 5, {}},
      {"TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE",
       TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE,
       183,
       5,
       {3}},
      {"REWRITE_QUESTION_TEMPLATE", REWRITE_QUESTION_TEMPLATE, 326, 12, {}},
      {"CORRECT_SQL_TEMPLATE", CORRECT_SQL_TEMPLATE, 988, 35, {}},
      {"PANDAS_SYSTEM_TEMPLATE", PANDAS_SYSTEM_TEMPLATE, 1607, 28, {2, 25}},
      {"PANDAS_HUMAN_TEMPLATE", PANDAS_HUMAN_TEMPLATE, 416, 14, {}},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.text.size(), e.characters);
    EXPECT_EQ(static_cast<std::size_t>(std::count(e.text.begin(), e.text.end(), '\n')), e.lines);
    ASSERT_FALSE(e.text.empty());
    EXPECT_EQ(e.text.back(), '\n');
    EXPECT_TRUE(std::all_of(e.text.begin(), e.text.end(), [](char c) {
      return c == '\n' || (c >= 0x20 && c < 0x7F);
    })) << "only printable ASCII and line breaks";
    const auto lines = split_lines(e.text);
    std::vector<std::size_t> blank_ended;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (!lines[i].empty() && lines[i].back() == ' ') blank_ended.push_back(i + 1);
    }
    EXPECT_EQ(blank_ended, e.lines_ending_in_blank);
    if (e.name == "PANDAS_SYSTEM_TEMPLATE") {
      EXPECT_EQ(lines[0], "\"");
    } else {
      EXPECT_EQ(lines[0], "") << "begins with a line break";
    }
  }
}

TEST(PromptCatalogue, PandasHumanTemplateGivesTheWorkedExampleForOneAndTwoPairs) {
  const std::string one_pair =
      "\n"
      "<context>\n"
      "    <original_question>Q</original_question>\n"
      "    <sql_context>\n"
      "      \n"
      "          <query index=\"1\">\n"
      "            A\n"
      "          </query>\n"
      "          <execution_result index=\"1\">\n"
      "            B\n"
      "          </execution_result>\n"
      "      \n"
      "    </sql_context>\n"
      "</context>";
  EXPECT_EQ(render(PANDAS_HUMAN_TEMPLATE, TemplateFormat::jinja2,
                   {{"original_question", "Q"}, {"zipped_queries_results", zip({"A"}, {"B"})}}),
            one_pair);
  EXPECT_EQ(split_lines(one_pair).size(), 14U);

  // The second pass starts with the for tag's line break and ends with the endfor indent.
  std::string two_pairs = one_pair;
  two_pairs.insert(two_pairs.find("\n    </sql_context>"),
                   "\n          <query index=\"2\">\n            C\n          </query>\n"
                   "          <execution_result index=\"2\">\n            D\n"
                   "          </execution_result>\n      ");
  EXPECT_EQ(
      render(PANDAS_HUMAN_TEMPLATE, TemplateFormat::jinja2,
             {{"original_question", "Q"}, {"zipped_queries_results", zip({"A", "C"}, {"B", "D"})}}),
      two_pairs);
  EXPECT_EQ(split_lines(two_pairs).size(), 21U);
}

TEST(PromptCatalogue, CorrectSqlTemplateListsPairsInOrderUnescaped) {
  const std::string q1 = "SELECT \"Name\" FROM Artist WHERE a < 3 & b > 'x'";
  const std::string e1 = "no such column: \"Name\" <near> & more";
  const std::string q2 = "SELECT * FROM Album";
  const std::string e2 = "Empty result";
  const auto result = render(CORRECT_SQL_TEMPLATE, TemplateFormat::jinja2,
                             {{"user_question", "How many?"},
                              {"schemas_from_relevant_tables", "CREATE TABLE Artist (...)"},
                              {"zipped_queries_errors", zip({q1, q2}, {e1, e2})}});
  for (const auto& part : {q1, e1, q2, e2}) EXPECT_EQ(count(result, part), 1U) << part;
  EXPECT_EQ(count(result, "index=\"1\""), 2U);
  EXPECT_EQ(count(result, "index=\"2\""), 2U);
  EXPECT_LT(result.rfind("index=\"1\""), result.find("index=\"2\""));
  EXPECT_LT(result.find(q1), result.find(e1));
  EXPECT_LT(result.find(e1), result.find(q2));
  EXPECT_EQ(count(result, "<query_execution_pair>"), 2U);
  EXPECT_NE(result.find("  <user_question>How many?</user_question>\n"), std::string::npos);
}

TEST(PromptCatalogue, CorrectSqlTemplateWithNoPairsKeepsOnlyTheLoopLinesWhitespace) {
  const auto result = render(CORRECT_SQL_TEMPLATE, TemplateFormat::jinja2,
                             {{"user_question", "q"},
                              {"schemas_from_relevant_tables", "s"},
                              {"zipped_queries_errors", nlohmann::ordered_json::array()}});
  EXPECT_NE(result.find("  <sql_context>\n    \n  </sql_context>\n"), std::string::npos) << result;
  EXPECT_EQ(result.find("index="), std::string::npos);
  // A missing sequence behaves as an empty one.
  EXPECT_EQ(render(CORRECT_SQL_TEMPLATE, TemplateFormat::jinja2,
                   {{"user_question", "q"}, {"schemas_from_relevant_tables", "s"}}),
            result);
}

TEST(PromptCatalogue, PandasHumanTemplateOutputsAngleBracketsAndAmpersandsUnchanged) {
  const auto result =
      render(PANDAS_HUMAN_TEMPLATE, TemplateFormat::jinja2,
             {{"original_question", "Sales < 10 & > 2?"},
              {"zipped_queries_results", zip({"SELECT 1"}, {"[(1, '<b>&amp;')]"})}});
  EXPECT_NE(result.find("Sales < 10 & > 2?"), std::string::npos);
  EXPECT_NE(result.find("[(1, '<b>&amp;')]"), std::string::npos);
}

TEST(PromptCatalogue, Jinja2TextsDropTheirFinalLineBreakDefaultTextsKeepIt) {
  const auto system =
      render(PANDAS_SYSTEM_TEMPLATE, TemplateFormat::jinja2, {{"save_path", "media/run 1"}});
  std::string expected =
      replace_all(std::string(PANDAS_SYSTEM_TEMPLATE), "{{ save_path }}", "media/run 1");
  expected.pop_back();
  EXPECT_EQ(system, expected);
  for (const auto text : {CORRECT_SQL_TEMPLATE, PANDAS_HUMAN_TEMPLATE}) {
    const auto result = render(text, TemplateFormat::jinja2, {});
    EXPECT_EQ(result.back(), '>') << "ends with its last tag, not a line break";
  }
  const auto rewrite = render(REWRITE_QUESTION_TEMPLATE, TemplateFormat::f_string,
                              {{"user_question", "u"}, {"schemas_from_all_tables", "s"}});
  EXPECT_EQ(rewrite.substr(rewrite.size() - 8), "</task>\n");
}

TEST(PromptCatalogue, DefaultSyntaxTextsChangeOnlyTheirPlaceholders) {
  const std::string dialect = "postgresql";
  const auto prefix = render(SQL_PREFIX, TemplateFormat::f_string, {{"dialect", dialect}});
  EXPECT_EQ(prefix, replace_all(std::string(SQL_PREFIX), "{dialect}", dialect));
  EXPECT_NE(prefix.find("  <Dialect>postgresql</Dialect>\n"), std::string::npos);
  EXPECT_NE(prefix.find("    - Use correct syntax for postgresql.\n"), std::string::npos);

  const auto rewrite = render(REWRITE_QUESTION_TEMPLATE, TemplateFormat::f_string,
                              {{"user_question", "Top {artist}?"},
                               {"schemas_from_all_tables", "CREATE TABLE t (a INT)"},
                               {"unused", 1}});
  std::string expected =
      replace_all(std::string(REWRITE_QUESTION_TEMPLATE), "{user_question}", "Top {artist}?");
  expected = replace_all(expected, "{schemas_from_all_tables}", "CREATE TABLE t (a INT)");
  EXPECT_EQ(rewrite, expected);
}

TEST(PromptCatalogue, RelevantTableHumanMessageIsRenderedHeadFollowedByRawTail) {
  const auto head =
      render(GET_RELEVANT_TABLE_NAMES_TEMPLATE, TemplateFormat::f_string,
             {{"user_question", "Which artists?"}, {"table_names_from_db", "Album, Artist"}});
  const auto message = head + std::string(TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE);
  EXPECT_EQ(message,
            "\n"
            "  <context>\n"
            "    <user_question>Which artists?</user_question>\n"
            "    <table_names>Album, Artist</table_names>\n"
            "  </context>\n"
            "\n"
            "  <task>\n"
            "    Identify and return relevant table names from <table_names>. Ensure matching "
            "case. Format as JSON: \n"
            "    {\"relevant_tables\": [\"TABLE_NAME_1\", \"TABLE_NAME_2\"]}.\n"
            "  </task>\n");
}

}  // namespace
}  // namespace norvex::prompts

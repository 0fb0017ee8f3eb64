// Reading structured answers: what is accepted, what is tidied and what is refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "llm_test_support.hpp"
#include "norvex/error.hpp"

namespace norvex::llm {
namespace {

using testing::generation_output;
using ::testing::HasSubstr;
using testing::relevant_tables_output;
using testing::sql_query_input;

std::string parse_error(const RecordSchema& schema, std::string_view text) {
  try {
    (void)parse_record(schema, text);
  } catch (const OutputParseError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(RecordSchemaJson, ListsEveryFieldTypedDescribedAndRequired) {
  const Json schema = record_json_schema(generation_output());
  EXPECT_EQ(schema.dump(),
            R"({"type":"object","properties":{"image_path":{"type":"string","description":)"
            R"("image path generated if exists in context"},"final_response":{"type":"string",)"
            R"("description":"final response"}},"required":["image_path","final_response"],)"
            R"("additionalProperties":false})");
  const Json list = record_json_schema(relevant_tables_output());
  EXPECT_EQ(list["properties"]["relevant_tables"]["type"], "array");
  EXPECT_EQ(list["properties"]["relevant_tables"]["items"]["type"], "string");
}

TEST(ParseRecord, AcceptsAPlainObjectAFencedObjectAndAnObjectAmidProse) {
  const Json expected = {{"sql_query", "SELECT 1"}};
  EXPECT_EQ(parse_record(sql_query_input(), R"({"sql_query": "SELECT 1"})"), expected);
  EXPECT_EQ(parse_record(sql_query_input(), "```json\n{\"sql_query\": \"SELECT 1\"}\n```"),
            expected);
  EXPECT_EQ(parse_record(sql_query_input(),
                         "Here is the query:\n```\n{\"sql_query\": \"SELECT 1\"}\n```\nDone."),
            expected);
  EXPECT_EQ(parse_record(sql_query_input(), "Sure! {\"sql_query\": \"SELECT 1\"} Hope it helps"),
            expected);
}

TEST(ParseRecord, ReturnsTheSchemaFieldsInSchemaOrderAndDropsOthers) {
  const Json record =
      parse_record(generation_output(),
                   R"({"final_response": "Sales rose.", "extra": 1, "image_path": "/tmp/a.png"})");
  EXPECT_EQ(record.dump(), R"({"image_path":"/tmp/a.png","final_response":"Sales rose."})");
}

TEST(ParseRecord, LooksInsideAFunctionCallWrittenAsText) {
  EXPECT_EQ(parse_record(sql_query_input(),
                         R"({"name": "SQLQueryInput", "arguments": {"sql_query": "SELECT 2"}})"),
            (Json{{"sql_query", "SELECT 2"}}));
  EXPECT_EQ(
      parse_record(sql_query_input(),
                   R"({"name": "SQLQueryInput", "arguments": "{\"sql_query\": \"SELECT 3\"}"})"),
      (Json{{"sql_query", "SELECT 3"}}));
}

TEST(ParseRecord, UnwrapsATagOfTheFieldsOwnNameAndCodeFencesAroundAWholeValue) {
  const auto sql = [](const std::string& value) {
    return parse_record(sql_query_input(), Json{{"sql_query", value}}.dump())["sql_query"];
  };
  EXPECT_EQ(sql("<sql_query>SELECT * FROM t</sql_query>"), "SELECT * FROM t");
  EXPECT_EQ(sql("  <sql_query>\nSELECT 1\n</sql_query>\n"), "SELECT 1");
  EXPECT_EQ(sql("```sql\nSELECT 1;\n```"), "SELECT 1;");
  EXPECT_EQ(sql("<sql_query>```sql\nSELECT 1\n```</sql_query>"), "SELECT 1");
  EXPECT_EQ(sql("```\n<sql_query>SELECT 1</sql_query>\n```"), "SELECT 1");
  // Only a wrapper around the whole value, and only the field's own tag, is removed.
  EXPECT_EQ(sql("SELECT '<sql_query>x</sql_query>'"), "SELECT '<sql_query>x</sql_query>'");
  EXPECT_EQ(sql("<query>SELECT 1</query>"), "<query>SELECT 1</query>");
  EXPECT_EQ(sql("Use this:\n```sql\nSELECT 1\n```"), "Use this:\n```sql\nSELECT 1\n```");
  EXPECT_EQ(sql("```a``` and ```b```"), "```a``` and ```b```");
  // Unwrapped values keep their inner layout.
  EXPECT_EQ(
      parse_record({"PythonCodeInput", {{"code", FieldType::text, "code"}}},
                   Json{{"code", "```python\nfor x in y:\n    print(x)\n```"}}.dump())["code"],
      "for x in y:\n    print(x)");
}

TEST(ParseRecord, RefusesAMissingFieldNamingItWithAnExcerpt) {
  const std::string error = parse_error(sql_query_input(), R"({"query": "SELECT 1"})");
  EXPECT_THAT(error, HasSubstr("SQLQueryInput"));
  EXPECT_THAT(error, HasSubstr("'sql_query' is missing"));
  EXPECT_THAT(error, HasSubstr(R"({"query":"SELECT 1"})"));
}

TEST(ParseRecord, RefusesWrongTypes) {
  EXPECT_THAT(parse_error(sql_query_input(), R"({"sql_query": 42})"),
              HasSubstr("'sql_query' must be a text, got number"));
  EXPECT_THAT(parse_error(sql_query_input(), R"({"sql_query": null})"),
              HasSubstr("'sql_query' must be a text, got null"));
  EXPECT_THAT(parse_error(relevant_tables_output(), R"({"relevant_tables": "Album"})"),
              HasSubstr("'relevant_tables' must be a list of texts, got string"));
  EXPECT_THAT(parse_error(relevant_tables_output(), R"({"relevant_tables": ["Album", 3]})"),
              HasSubstr("a list holding other values"));
  EXPECT_THAT(parse_error(sql_query_input(), R"(["SELECT 1"])"),
              HasSubstr("expected a JSON object, got array"));
}

TEST(ParseRecord, RefusesTextWithoutJsonAndShortensLongAnswers) {
  EXPECT_THAT(parse_error(sql_query_input(), ""), HasSubstr("the answer is empty"));
  EXPECT_THAT(parse_error(sql_query_input(), "I cannot help with that."),
              HasSubstr("no valid JSON object; answer: I cannot help with that."));
  const std::string error =
      parse_error(sql_query_input(), "{\"sql_query\": \"" + std::string(5000, 'x'));
  EXPECT_THAT(error, HasSubstr("…"));
  EXPECT_LT(error.size(), 400u);
}

TEST(ParseRecord, AcceptsAnEmptyListAndEmptyTexts) {
  EXPECT_EQ(parse_record(relevant_tables_output(), R"({"relevant_tables": []})"),
            (Json{{"relevant_tables", Json::array()}}));
  EXPECT_EQ(parse_record(generation_output(), R"({"image_path": "", "final_response": ""})"),
            (Json{{"image_path", ""}, {"final_response", ""}}));
}

TEST(StructuredModel, RefusesSchemasWithoutNameFieldsOrWithRepeatedFields) {
  class Silent : public ChatModel {
   public:
    using ChatModel::invoke;
    prompts::AIMessage invoke(const std::vector<prompts::Message>&) override {
      return prompts::AIMessage("");
    }
  };
  auto model = std::make_shared<Silent>();
  EXPECT_THROW(model->with_structured_output({"", {{"a", FieldType::text, ""}}}), ArgumentError);
  EXPECT_THROW(model->with_structured_output({"R", {}}), ArgumentError);
  EXPECT_THROW(model->with_structured_output(
                   {"R", {{"a", FieldType::text, ""}, {"a", FieldType::text, ""}}}),
               ArgumentError);
}

TEST(StructuredModel, AModelWithoutNativeSupportIsAskedForJsonInTextAndItsAnswerParsed) {
  class Scripted : public ChatModel {
   public:
    using ChatModel::invoke;
    prompts::AIMessage invoke(const std::vector<prompts::Message>& messages) override {
      seen = messages;
      return prompts::AIMessage("```json\n{\"relevant_tables\": [\"Album\"]}\n```");
    }
    std::vector<prompts::Message> seen;
  };
  auto model = std::make_shared<Scripted>();
  const Json record = model->with_structured_output(relevant_tables_output())->invoke("Which?");
  EXPECT_EQ(record, (Json{{"relevant_tables", {"Album"}}}));
  ASSERT_EQ(model->seen.size(), 2u);
  EXPECT_EQ(model->seen[0].content, "Which?");
  EXPECT_THAT(model->seen[1].content, HasSubstr("List of relevant table names"));
}

}  // namespace
}  // namespace norvex::llm

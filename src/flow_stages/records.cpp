#include "norvex/flow_stages/records.hpp"

#include "norvex/error.hpp"

namespace norvex::flow_stages {
namespace {

const graph::Json& member(const graph::Json& record, const llm::RecordSchema& schema,
                          const std::string& name) {
  if (!record.is_object() || !record.contains(name)) {
    throw OutputParseError(schema.name + ": missing field '" + name + "'");
  }
  return record.at(name);
}

std::string text_member(const graph::Json& record, const llm::RecordSchema& schema,
                        const std::string& name) {
  const auto& value = member(record, schema, name);
  if (!value.is_string()) {
    throw OutputParseError(schema.name + ": field '" + name + "' should be a text");
  }
  return value.get<std::string>();
}

llm::RecordSchema text_record(std::string name, std::string field, std::string description) {
  return {std::move(name), {{std::move(field), llm::FieldType::text, std::move(description)}}};
}

}  // namespace

const llm::RecordSchema& RelevantTablesOutput::schema() {
  static const llm::RecordSchema schema{
      "RelevantTablesOutput",
      {{"relevant_tables", llm::FieldType::text_list, "List of relevant table names"}}};
  return schema;
}

RelevantTablesOutput RelevantTablesOutput::from_json(const graph::Json& record) {
  const auto& value = member(record, schema(), "relevant_tables");
  RelevantTablesOutput out;
  bool ok = value.is_array();
  if (ok) {
    for (const auto& name : value) {
      if (!name.is_string()) {
        ok = false;
        break;
      }
      out.relevant_tables.push_back(name.get<std::string>());
    }
  }
  if (!ok)
    throw OutputParseError(
        "RelevantTablesOutput: field 'relevant_tables' should be a list of texts");
  return out;
}

const llm::RecordSchema& RewriteQueryOutput::schema() {
  static const auto schema =
      text_record("RewriteQueryOutput", "rewritten_question", "Rewritten question");
  return schema;
}

RewriteQueryOutput RewriteQueryOutput::from_json(const graph::Json& record) {
  return {text_member(record, schema(), "rewritten_question")};
}

const llm::RecordSchema& PythonCodeInput::schema() {
  static const auto schema = text_record("PythonCodeInput", "code", "Python code to be executed");
  return schema;
}

PythonCodeInput PythonCodeInput::from_json(const graph::Json& record) {
  return {text_member(record, schema(), "code")};
}

const llm::RecordSchema& SQLQueryInput::schema() {
  static const auto schema =
      text_record("SQLQueryInput", "sql_query", "SQL query string to be executed");
  return schema;
}

SQLQueryInput SQLQueryInput::from_json(const graph::Json& record) {
  return {text_member(record, schema(), "sql_query")};
}

const llm::RecordSchema& GenerationOutput::schema() {
  static const llm::RecordSchema schema{
      "GenerationOutput",
      {{"image_path", llm::FieldType::text, "image path generated if exists in context"},
       {"final_response", llm::FieldType::text, "final response"}}};
  return schema;
}

GenerationOutput GenerationOutput::from_json(const graph::Json& record) {
  GenerationOutput out;
  out.image_path = text_member(record, schema(), "image_path");
  out.final_response = text_member(record, schema(), "final_response");
  return out;
}

}  // namespace norvex::flow_stages

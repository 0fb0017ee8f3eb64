#pragma once
/// The structured answers that the pipeline's model steps ask for, each with the schema
/// (record name, field names, types and descriptions) the model is shown.

#include <string>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/graph/state.hpp"
#include "norvex/llm/chat_model.hpp"

namespace norvex::flow_stages {

/// The tables a question needs. Thread rule: a plain value.
struct NORVEX_API RelevantTablesOutput {
  std::vector<std::string> relevant_tables;
  /// The record schema shown to the model. Never throws.
  static const llm::RecordSchema& schema();
  /// Reads a validated record. Throws OutputParseError when a field is missing or mistyped.
  static RelevantTablesOutput from_json(const graph::Json& record);
};

/// A question restated in the database's terms. Thread rule: a plain value.
struct NORVEX_API RewriteQueryOutput {
  std::string rewritten_question;
  /// The record schema shown to the model. Never throws.
  static const llm::RecordSchema& schema();
  /// Throws OutputParseError when the field is missing or not a text.
  static RewriteQueryOutput from_json(const graph::Json& record);
};

/// Analysis code to run. Thread rule: a plain value.
struct NORVEX_API PythonCodeInput {
  std::string code;
  /// The record schema shown to the model. Never throws.
  static const llm::RecordSchema& schema();
  /// Throws OutputParseError when the field is missing or not a text.
  static PythonCodeInput from_json(const graph::Json& record);
};

/// One SQL query to run. Thread rule: a plain value.
struct NORVEX_API SQLQueryInput {
  std::string sql_query;
  /// The record schema shown to the model. Never throws.
  static const llm::RecordSchema& schema();
  /// Throws OutputParseError when the field is missing or not a text.
  static SQLQueryInput from_json(const graph::Json& record);
};

/// The answer to the user: a chart path (if any) and the prose response.
/// Thread rule: a plain value.
struct NORVEX_API GenerationOutput {
  std::string image_path;
  std::string final_response;
  /// The record schema shown to the model (image_path first). Never throws.
  static const llm::RecordSchema& schema();
  /// Throws OutputParseError when a field is missing or not a text.
  static GenerationOutput from_json(const graph::Json& record);
};

}  // namespace norvex::flow_stages

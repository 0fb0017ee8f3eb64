#pragma once
/// The pipeline's stage classes: table discovery, question rewriting, schema selection,
/// SQL generation, check and execution, analysis code generation, correction and
/// execution, and response generation. Each returns only the fields it writes.

#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/flow_stages/tools.hpp"
#include "norvex/graph/state_graph.hpp"
#include "norvex/llm/chat_model.hpp"
#include "norvex/prompts/messages.hpp"
#include "norvex/prompts/prompt_template.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::flow_stages {

/// First-attempt SQL prompt: system text (placeholder `dialect`) and human text
/// (placeholders `user_question`, `schemas_from_relevant_tables`).
extern NORVEX_API const std::string_view SQL_GENERATION_SYSTEM_TEXT;
extern NORVEX_API const std::string_view SQL_GENERATION_HUMAN_TEXT;
/// Analysis code repair prompt; placeholders `user_question`, `python_code`, `error`.
extern NORVEX_API const std::string_view PANDAS_CORRECTION_TEXT;
/// Raised for an SQL prompt mode other than "generation" and "correction".
inline constexpr std::string_view kMessagesNotGenerated = "Messages not generated correctly.";

/// Response prompt lines.
inline constexpr std::string_view kUserQuestionLine = "User question: ";
inline constexpr std::string_view kSqlQueryLine = "SQL query: ";
inline constexpr std::string_view kSqlQueryResultLine = "SQL query result: ";
inline constexpr std::string_view kPythonCodeLine = "Python code: ";
inline constexpr std::string_view kPythonExecutedResultLine = "Python executed result: ";
inline constexpr std::string_view kResponseInstruction =
    "Use the above result to address user's question.";
/// What an empty query result is recorded as.
inline constexpr std::string_view kEmptyResultText = "None";

/// Writes `table_names_from_db`: the database's table listing.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API TableNamesLookup final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null facade.
  explicit TableNamesLookup(std::shared_ptr<sql::CustomSQLDatabase> db);
  /// Ignores the state. Throws DatabaseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  ListSQLDatabaseTool tool_;
};

/// Writes `relevant_tables`: the tables the model deems relevant to the question.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API RelevantTableNames final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null facade or model.
  RelevantTableNames(std::shared_ptr<sql::CustomSQLDatabase> db,
                     std::shared_ptr<llm::ChatModel> model);
  /// System message from SQL_PREFIX, human message from the relevant-tables template with
  /// the tail appended verbatim. Throws MissingFieldError, ValueError.
  [[nodiscard]] std::vector<prompts::Message> generate_prompt(const graph::State& state) const;
  /// Throws as generate_prompt, ChatServiceError, OutputParseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::string dialect_;
  std::shared_ptr<llm::StructuredModel> model_;
  prompts::ChatPromptTemplate template_;
};

/// Writes `rewritten_question`: the question restated against every table's schema.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API RewriteQuery final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null facade or model.
  RewriteQuery(std::shared_ptr<sql::CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model);
  /// One system message. Throws MissingFieldError, ValueError, DatabaseError.
  [[nodiscard]] std::vector<prompts::Message> generate_prompt(const graph::State& state) const;
  /// Throws as generate_prompt, ChatServiceError, OutputParseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::string dialect_;
  std::shared_ptr<llm::StructuredModel> model_;
  InfoSQLDatabaseTool tool_;
  prompts::ChatPromptTemplate template_;
};

/// Writes `pandas_code`, in first-attempt or repair mode (`pandas_generation_prompt_type`).
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API PandasGenerator final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null model.
  explicit PandasGenerator(std::shared_ptr<llm::ChatModel> model);
  /// "generation": system and human message; "correction": one human message holding the
  /// repair text. Throws MissingFieldError, ValueError (another mode).
  [[nodiscard]] std::vector<prompts::Message> generate_prompt(const graph::State& state) const;
  /// Throws as generate_prompt, ChatServiceError, OutputParseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::shared_ptr<llm::StructuredModel> model_;
  prompts::ChatPromptTemplate template_;
  prompts::PromptTemplate correction_template_;
};

/// Writes `pandas_code` from the repair prompt only (not wired into the graph).
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API PandasCorrection final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null model.
  explicit PandasCorrection(std::shared_ptr<llm::ChatModel> model);
  /// One human message holding the repair text. Throws MissingFieldError, ValueError.
  [[nodiscard]] std::vector<prompts::Message> generate_prompt(const graph::State& state) const;
  /// Throws as generate_prompt, ChatServiceError, OutputParseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::shared_ptr<llm::StructuredModel> model_;
  prompts::PromptTemplate template_;
};

/// Runs `pandas_code` and writes its printed output or its error.
/// Thread rule: immutable; concurrent invoke() calls run one after another in the runtime.
class NORVEX_API PandasExecutor final : public graph::Runnable {
 public:
  /// Keeps `model` (no chat call is made). Throws ArgumentError for a null model.
  explicit PandasExecutor(std::shared_ptr<llm::ChatModel> model,
                          python::AnalysisOptions options = {});
  /// Success: `python_executed_output`, `python_execution_success` true. Ordinary error:
  /// `python_execution_success` false, `python_error_message` "TypeName: message".
  /// Throws MissingFieldError, ValueError, PythonExit (exit requests), norvex::Error (the
  /// runtime cannot start).
  graph::Update invoke(const graph::State& state) override;
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& model() const noexcept { return model_; }

 private:
  std::shared_ptr<llm::ChatModel> model_;
  python::AnalysisOptions options_;
};

/// Writes `schemas_from_relevant_tables` and puts SQL generation in first-attempt mode.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API RelevantSchemas final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null facade.
  explicit RelevantSchemas(std::shared_ptr<sql::CustomSQLDatabase> db);
  /// Throws MissingFieldError, ValueError, DatabaseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  InfoSQLDatabaseTool tool_;
};

/// Appends one query to `generated_sql_query`, in first-attempt or repair mode
/// (`sql_generation_prompt_type`). Logs its duration.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API SQLGeneration final : public graph::Runnable {
 public:
  /// Reads the facade's dialect. Throws ArgumentError for a null facade or model.
  SQLGeneration(std::shared_ptr<sql::CustomSQLDatabase> db, std::shared_ptr<llm::ChatModel> model);
  /// System and human message for the current mode. Throws ValueError "Messages not
  /// generated correctly." for another mode, MissingFieldError, ArgumentError.
  [[nodiscard]] std::vector<prompts::Message> generate_messages(const graph::State& state) const;
  /// Throws as generate_messages, ChatServiceError, OutputParseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::shared_ptr<llm::StructuredModel> model_;
  std::string dialect_;
  prompts::ChatPromptTemplate generate_template_;
  prompts::ChatPromptTemplate correct_template_;
};

/// Replaces the newest query by the checker's review (the list keeps its length).
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API SQLSyntaxChecker final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null facade or model.
  SQLSyntaxChecker(std::shared_ptr<sql::CustomSQLDatabase> db,
                   std::shared_ptr<llm::ChatModel> model);
  /// Throws MissingFieldError, ValueError (no query), ChatServiceError.
  graph::Update invoke(const graph::State& state) override;
  [[nodiscard]] const QuerySQLCheckerTool& tool() const noexcept { return tool_; }

 private:
  QuerySQLCheckerTool tool_;
};

/// Runs the newest query and records the rows, "None" for no rows, or the database's error.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API SQLExecution final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null facade.
  explicit SQLExecution(std::shared_ptr<sql::CustomSQLDatabase> db);
  /// Throws MissingFieldError, ValueError (no query); database errors become the result.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::shared_ptr<sql::CustomSQLDatabase> db_;
};

/// Writes `final_response` and `image_path` from a six-line summary of the run. Logs its
/// start and duration.
/// Thread rule: immutable; invoke() is safe from several threads.
class NORVEX_API GenerateResponse final : public graph::Runnable {
 public:
  /// Throws ArgumentError for a null model.
  explicit GenerateResponse(std::shared_ptr<llm::ChatModel> model);
  /// The prompt text; absent analysis fields read "None". Throws MissingFieldError,
  /// ValueError (no query result).
  [[nodiscard]] std::string generate_prompt(const graph::State& state) const;
  /// Throws as generate_prompt, ChatServiceError, OutputParseError.
  graph::Update invoke(const graph::State& state) override;

 private:
  std::shared_ptr<llm::StructuredModel> model_;
};

}  // namespace norvex::flow_stages

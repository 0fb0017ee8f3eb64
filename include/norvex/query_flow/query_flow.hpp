#pragma once
/// The question pipeline as one object: five chat models, the stages, the relevant-table
/// picker and the wired state graph, with operations to run a question and draw the graph.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/graph/state_graph.hpp"
#include "norvex/llm/settings.hpp"
#include "norvex/query_flow/relevant_table_picker.hpp"

namespace norvex::sql {
class CustomSQLDatabase;
}
namespace norvex::llm {
class ChatModel;
}

namespace norvex::query_flow {

// Node names of the graph.
inline constexpr std::string_view kInitNode = "init_node";
inline constexpr std::string_view kTableNamesLookupNode = "table_names_lookup_node";
inline constexpr std::string_view kRelevantTableNamesNode = "relevant_table_names_node";
inline constexpr std::string_view kRelevantSchemasNode = "relevant_schemas_node";
inline constexpr std::string_view kSqlGenerationNode = "sql_generation_node";
inline constexpr std::string_view kRewriteQueryNode = "rewrite_query_node";
inline constexpr std::string_view kSqlSyntaxCheckerNode = "sql_syntax_checker_node";
inline constexpr std::string_view kSqlExecutionNode = "sql_execution_node";
inline constexpr std::string_view kPandasGeneratorNode = "pandas_generator_node";
inline constexpr std::string_view kPandasExecutorNode = "pandas_executor_node";
inline constexpr std::string_view kFinalResponseGenerationNode = "final_response_generation_node";
inline constexpr std::string_view kPandasErrorHandlerNode = "pandas_error_handler_node";
inline constexpr std::string_view kSqlErrorHandlerNode = "sql_error_handler_node";

/// The tag every run carries, and the default visualize_graph() values.
inline constexpr std::string_view kQueryFlowTag = "query_flow";
inline constexpr std::string_view kAsciiVisualization = "ascii";
inline constexpr std::string_view kDefaultGraphImagePath = "graph_visualization.png";

/// max_tokens of the five chat models.
inline constexpr int kRelevantTablesMaxTokens = 8192;
inline constexpr int kSqlGenerationMaxTokens = 4096;
inline constexpr int kResponseMaxTokens = 4096;
inline constexpr int kPandasCodeMaxTokens = 8192;
inline constexpr int kPandasAiMaxTokens = 8192;
/// Sampling settings shared by every chat model of the pipeline.
inline constexpr double kTemperature = 0;
inline constexpr double kTopP = 0.95;

/// Answers questions about one database. Built once; every member is fixed at construction.
/// Thread rule: read-only after construction; concurrent invoke() calls are safe (analysis
/// runs are served one at a time), each run replaying and recording under its own save path.
class NORVEX_API QueryFlow {
 public:
  /// Builds the five chat models (the smaller model from `config_35`, the larger from
  /// `config_4`), the picker and the stages, and compiles the graph. Contacts neither the
  /// database nor the chat service. Throws ArgumentError when `custom_sql_db` is null or a
  /// settings value is unusable, naming a max_tokens, temperature or model_kwargs field it
  /// carries; ValueError for an unreadable cassette.
  QueryFlow(std::shared_ptr<sql::CustomSQLDatabase> custom_sql_db,
            const llm::AzureOpenAIChat35& config_35, const llm::AzureOpenAIChat4& config_4);
  ~QueryFlow();
  QueryFlow(const QueryFlow&) = delete;
  QueryFlow& operator=(const QueryFlow&) = delete;

  /// The run configuration every run uses. Never throws.
  [[nodiscard]] static graph::RunnableConfig _config_graph(
      std::optional<graph::Json> metadata = std::nullopt,
      std::vector<std::string> tags = {std::string(kQueryFlowTag)},
      std::optional<int> max_concurrency = 20, int recursion_limit = 50);

  /// Adds the nodes and edges to the builder and compiles it. The configuration is applied
  /// per run, not here. Throws ValueError when the builder refuses the wiring (called twice).
  graph::CompiledGraph _compile_graph(const graph::RunnableConfig& runnable_config);

  /// Runs one question. `inputs` holds state fields (user_question, save_path, optionally
  /// max_iterations_pandas, ...); returns the final state's present fields. When `inputs`
  /// holds a text save_path, the chat models use it for this run: replayed answers (demos
  /// and tests) write charts there; live clients ignore it. Every failure of the run
  /// propagates unchanged (ChatServiceError, OutputParseError, DatabaseError,
  /// MissingFieldError, RecursionLimitError, PythonExit, ...).
  [[nodiscard]] graph::Json invoke(const graph::Json& inputs) const;
  /// As invoke(inputs), with `observer` told about every node's start, finish and error
  /// (it may be called from several threads at once). Throws as invoke(inputs).
  [[nodiscard]] graph::Json invoke(const graph::Json& inputs, graph::Observer observer) const;

  /// "ascii" (exact) prints the text drawing to standard output; any other value renders
  /// the Mermaid drawing to PNG through the rendering service (NORVEX_MERMAID_URL) and saves
  /// it at `save_graph_path` in the format its extension names. Throws norvex::Error for a
  /// rendering failure, ArgumentError for an unknown extension, ValueError for bytes that are
  /// no image; nothing is written then.
  void visualize_graph(std::string_view visualization_type = kAsciiVisualization,
                       const std::filesystem::path& save_graph_path =
                           std::filesystem::path(kDefaultGraphImagePath)) const;

  [[nodiscard]] const std::shared_ptr<sql::CustomSQLDatabase>& db() const noexcept { return db_; }
  [[nodiscard]] const graph::RunnableConfig& runnable_config() const noexcept {
    return runnable_config_;
  }
  [[nodiscard]] const graph::CompiledGraph& compiled_graph() const noexcept {
    return compiled_graph_;
  }
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& relevant_tables_model() const noexcept {
    return relevant_tables_model_;
  }
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& sql_generation_model() const noexcept {
    return sql_generation_model_;
  }
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& response_model() const noexcept {
    return response_model_;
  }
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& pandas_code_model() const noexcept {
    return pandas_code_model_;
  }
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& pandas_ai_model() const noexcept {
    return pandas_ai_model_;
  }
  [[nodiscard]] const std::shared_ptr<RelevantTablePicker>& relevant_table_picker() const noexcept {
    return relevant_table_picker_;
  }

 private:
  std::shared_ptr<sql::CustomSQLDatabase> db_;
  graph::StateGraph graph_;
  graph::RunnableConfig runnable_config_;
  std::shared_ptr<llm::ChatModel> relevant_tables_model_;
  std::shared_ptr<llm::ChatModel> sql_generation_model_;
  std::shared_ptr<llm::ChatModel> response_model_;
  std::shared_ptr<llm::ChatModel> pandas_code_model_;
  std::shared_ptr<llm::ChatModel> pandas_ai_model_;
  std::shared_ptr<RelevantTablePicker> relevant_table_picker_;
  graph::CompiledGraph compiled_graph_;
};

/// A field of a run's state or result record as text: the newest entry when it holds a
/// list (the query that finally ran, its result), a text as it is, anything else as JSON,
/// and "" when it is null or empty. Never throws but for allocation.
[[nodiscard]] NORVEX_API std::string newest_text(const graph::Json& value);

}  // namespace norvex::query_flow

#include "norvex/query_flow/query_flow.hpp"
#include "norvex/base/output.hpp"

#include <iostream>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "norvex/drawing/image.hpp"
#include "norvex/error.hpp"
#include "norvex/flow_stages/flow_stages.hpp"
#include "norvex/llm/cassette.hpp"
#include "norvex/llm/openai_client.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::query_flow {
namespace {

namespace stages = norvex::flow_stages;

constexpr std::string_view kSavePathField = "save_path";

std::shared_ptr<llm::ChatModel> build_model(const llm::ModelSettings& settings, int max_tokens) {
  return llm::make_chat_model(settings, max_tokens, kTemperature, llm::Json{{"top_p", kTopP}});
}

std::shared_ptr<sql::CustomSQLDatabase> require_db(std::shared_ptr<sql::CustomSQLDatabase> db) {
  if (!db) throw ArgumentError("QueryFlow needs a database");
  return db;
}

std::string str(std::string_view text) {
  return std::string(text);
}

}  // namespace

QueryFlow::QueryFlow(std::shared_ptr<sql::CustomSQLDatabase> custom_sql_db,
                     const llm::AzureOpenAIChat35& config_35, const llm::AzureOpenAIChat4& config_4)
    : db_(require_db(std::move(custom_sql_db))),
      graph_(*stages::sql_state_schema()),
      runnable_config_(_config_graph()) {
  relevant_tables_model_ = build_model(config_35, kRelevantTablesMaxTokens);
  sql_generation_model_ = build_model(config_4, kSqlGenerationMaxTokens);
  response_model_ = build_model(config_35, kResponseMaxTokens);
  pandas_code_model_ = build_model(config_35, kPandasCodeMaxTokens);
  pandas_ai_model_ = build_model(config_35, kPandasAiMaxTokens);
  relevant_table_picker_ = std::make_shared<RelevantTablePicker>(config_35, db_);
  compiled_graph_ = _compile_graph(runnable_config_);
}

QueryFlow::~QueryFlow() = default;

graph::RunnableConfig QueryFlow::_config_graph(std::optional<graph::Json> metadata,
                                               std::vector<std::string> tags,
                                               std::optional<int> max_concurrency,
                                               int recursion_limit) {
  graph::RunnableConfig config;
  config.metadata = std::move(metadata);
  config.tags = std::move(tags);
  config.max_concurrency = max_concurrency;
  config.recursion_limit = recursion_limit;
  return config;
}

graph::CompiledGraph QueryFlow::_compile_graph(const graph::RunnableConfig& /*runnable_config*/) {
  // The configuration is applied per run by invoke(), not here. The calls follow the
  // pipeline as a reader walks it; the builder does not depend on their order.
  graph_.add_node(str(kInitNode), stages::initialisation);
  graph_.set_entry_point(str(kInitNode));
  graph_.add_node(str(kTableNamesLookupNode), std::make_shared<stages::TableNamesLookup>(db_));
  graph_.add_edge(str(kInitNode), str(kTableNamesLookupNode));
  graph_.add_node(str(kRelevantTableNamesNode), relevant_table_picker_);
  graph_.add_edge(str(kTableNamesLookupNode), str(kRelevantTableNamesNode));
  graph_.add_node(str(kRelevantSchemasNode), std::make_shared<stages::RelevantSchemas>(db_));
  graph_.add_edge(str(kRelevantTableNamesNode), str(kRelevantSchemasNode));
  graph_.add_node(str(kSqlGenerationNode),
                  std::make_shared<stages::SQLGeneration>(db_, sql_generation_model_));
  graph_.add_edge(str(kRelevantSchemasNode), str(kSqlGenerationNode));
  graph_.add_node(str(kRewriteQueryNode),
                  std::make_shared<stages::RewriteQuery>(db_, pandas_ai_model_));
  graph_.add_edge(str(kRewriteQueryNode), str(kRelevantTableNamesNode));
  graph_.add_node(str(kSqlSyntaxCheckerNode),
                  std::make_shared<stages::SQLSyntaxChecker>(db_, relevant_tables_model_));
  graph_.add_edge(str(kSqlGenerationNode), str(kSqlSyntaxCheckerNode));
  graph_.add_node(str(kSqlExecutionNode), std::make_shared<stages::SQLExecution>(db_));
  graph_.add_edge(str(kSqlSyntaxCheckerNode), str(kSqlExecutionNode));
  graph_.add_node(str(kPandasGeneratorNode),
                  std::make_shared<stages::PandasGenerator>(pandas_code_model_));
  graph_.add_node(str(kPandasExecutorNode),
                  std::make_shared<stages::PandasExecutor>(pandas_ai_model_));
  graph_.add_edge(str(kPandasGeneratorNode), str(kPandasExecutorNode));
  graph_.add_node(str(kFinalResponseGenerationNode),
                  std::make_shared<stages::GenerateResponse>(response_model_));
  graph_.add_edge(str(kFinalResponseGenerationNode), str(graph::END));
  graph_.add_edge(str(kPandasExecutorNode), str(kFinalResponseGenerationNode));
  graph_.add_node(str(kPandasErrorHandlerNode), stages::handle_pandas_error);
  graph_.add_conditional_edges(
      str(kPandasExecutorNode), stages::pandas_execution_condition,
      {{str(stages::kFinalResponseLabel), str(kFinalResponseGenerationNode)},
       {str(stages::kPandasExecutionErrorLabel), str(kPandasErrorHandlerNode)}});
  graph_.add_node(str(kSqlErrorHandlerNode), stages::handle_sql_error);
  graph_.add_conditional_edges(str(kSqlExecutionNode), stages::sql_execution_condition,
                               {{str(stages::kPandasGenerationLabel), str(kPandasGeneratorNode)},
                                {str(stages::kSqlExecutionErrorLabel), str(kSqlErrorHandlerNode)}});
  graph_.add_conditional_edges(
      str(kSqlErrorHandlerNode), stages::sql_error_handler_condition,
      {{str(stages::kRegenerateSqlQueryLabel), str(kSqlGenerationNode)},
       {str(stages::kTerminalFailureResponseLabel), str(kFinalResponseGenerationNode)},
       {str(stages::kRewriteQueryLabel), str(kRewriteQueryNode)}});
  graph_.add_conditional_edges(
      str(kPandasErrorHandlerNode), stages::pandas_error_handler_condition,
      {{str(stages::kRegeneratePandasCodeLabel), str(kPandasGeneratorNode)},
       {str(stages::kTerminalFailureResponseLabel), str(kFinalResponseGenerationNode)}});
  return graph_.compile();
}

namespace {

// Opens the run's save path around each of its steps, on the step's own thread, so that runs
// sharing the cassette models at once each replay and record under their own path.
graph::Observer with_run_save_path(const graph::Json& inputs, graph::Observer observer) {
  if (!inputs.is_object()) return observer;
  const auto it = inputs.find(kSavePathField);
  if (it == inputs.end() || !it->is_string()) return observer;
  auto save_path = std::make_shared<const std::string>(it->get<std::string>());
  return [save_path, observer = std::move(observer)](const graph::NodeEvent& event) {
    // Steps on one thread start and end in nested order, so a stack pairs them up.
    thread_local std::vector<std::unique_ptr<llm::SavePathScope>> open;
    if (event.kind == graph::NodeEvent::Kind::start) {
      open.push_back(std::make_unique<llm::SavePathScope>(*save_path));
      if (!observer) return;
      try {
        observer(event);
      } catch (...) {
        open.pop_back();  // the step never runs, so no end event comes
        throw;
      }
      return;
    }
    if (!open.empty()) open.pop_back();
    if (observer) observer(event);
  };
}

}  // namespace

graph::Json QueryFlow::invoke(const graph::Json& inputs) const {
  return invoke(inputs, graph::Observer{});
}

graph::Json QueryFlow::invoke(const graph::Json& inputs, graph::Observer observer) const {
  graph::RunnableConfig config = runnable_config_;
  config.observer = with_run_save_path(inputs, std::move(observer));
  return compiled_graph_.invoke(inputs, config);
}

void QueryFlow::visualize_graph(std::string_view visualization_type,
                                const std::filesystem::path& save_graph_path) const {
  const graph::DrawableGraph drawing = compiled_graph_.get_graph();
  if (visualization_type == kAsciiVisualization) {
    // Line by line through the output sink, like every line we print for a person.
    const std::string text = drawing.draw_ascii();
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      base::print_line(std::string_view(text).substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return;
  }
  const std::string png = drawing.draw_mermaid_png(graph::MermaidDrawMethod::API);
  drawing::save_image(png, save_graph_path);
}

std::string newest_text(const graph::Json& value) {
  const graph::Json* v = &value;
  if (v->is_array()) {
    if (v->empty()) return {};
    v = &v->back();
  }
  if (v->is_null()) return {};
  return v->is_string() ? v->get<std::string>() : v->dump();
}

}  // namespace norvex::query_flow

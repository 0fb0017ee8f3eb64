#pragma once
/// The action of the graph's relevant-table node: asks the smaller chat model which tables
/// matter for the question and keeps only tables the database really has.

#include <memory>
#include <string>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/graph/state_graph.hpp"
#include "norvex/llm/settings.hpp"

namespace norvex::sql {
class CustomSQLDatabase;
}
namespace norvex::llm {
class ChatModel;
}
namespace norvex::flow_stages {
class RelevantTableNames;
}

namespace norvex::query_flow {

/// Picks the relevant tables of a question. A model may invent, misspell the case of or
/// repeat table names; schema selection needs real ones, so the model's answer is filtered
/// against the database's own table list.
/// Thread rule: immutable after construction; invoke() may run on several threads at once.
class NORVEX_API RelevantTablePicker final : public graph::Runnable {
 public:
  /// Builds its chat model from `config` (max_tokens 8192, temperature 0, top_p 0.95). Does
  /// not contact the model or the database. Throws ArgumentError for unusable settings
  /// (including a max_tokens, temperature or model_kwargs field), ValueError for an
  /// unreadable cassette, ArgumentError when `db` is null.
  RelevantTablePicker(const llm::ModelSettings& config, std::shared_ptr<sql::CustomSQLDatabase> db);
  ~RelevantTablePicker() override;

  /// Returns the update {relevant_tables: [...]}: the model's choice, in the model's order,
  /// restricted to tables of the database (matched without regard to case and spelled as
  /// the database spells them), without duplicates. Throws what the relevant-table stage
  /// throws (ChatServiceError, OutputParseError, MissingFieldError) and DatabaseError.
  graph::Update invoke(const graph::State& state) override;

  /// The chat model the picker asks.
  [[nodiscard]] const std::shared_ptr<llm::ChatModel>& model() const noexcept { return model_; }

  /// The filtering rule on its own: every name of `picked` that matches a name of `known`
  /// without regard to case, as `known` spells it, first occurrence only, in `picked` order.
  /// An exact match wins over a case-insensitive one.
  [[nodiscard]] static std::vector<std::string> keep_known_tables(
      const std::vector<std::string>& picked, const std::vector<std::string>& known);

 private:
  std::shared_ptr<sql::CustomSQLDatabase> db_;
  std::shared_ptr<llm::ChatModel> model_;
  std::shared_ptr<flow_stages::RelevantTableNames> stage_;
};

}  // namespace norvex::query_flow

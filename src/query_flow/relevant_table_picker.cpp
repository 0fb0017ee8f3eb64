#include "norvex/query_flow/relevant_table_picker.hpp"
#include "norvex/base/text.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "norvex/error.hpp"
#include "norvex/flow_stages/flow_stages.hpp"
#include "norvex/llm/openai_client.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::query_flow {
namespace {

using base::iequals;
using base::trim;

constexpr std::string_view kRelevantTablesField = "relevant_tables";

}  // namespace

RelevantTablePicker::RelevantTablePicker(const llm::ModelSettings& config,
                                         std::shared_ptr<sql::CustomSQLDatabase> db)
    : db_(std::move(db)) {
  if (!db_) throw ArgumentError("RelevantTablePicker needs a database");
  model_ = llm::make_chat_model(config, kRelevantTablesMaxTokens, kTemperature,
                                llm::Json{{"top_p", kTopP}});
  stage_ = std::make_shared<flow_stages::RelevantTableNames>(db_, model_);
}

RelevantTablePicker::~RelevantTablePicker() = default;

graph::Update RelevantTablePicker::invoke(const graph::State& state) {
  const graph::Update answer = stage_->invoke(state);
  std::vector<std::string> picked;
  if (const graph::Json* tables = answer.find(kRelevantTablesField)) {
    for (const auto& name : *tables) {
      if (name.is_string()) picked.push_back(name.get<std::string>());
    }
  }
  // Ask the database itself rather than parse the listing in the state: a table name may
  // hold the listing's separator.
  std::vector<std::string> kept = keep_known_tables(picked, db_->get_usable_table_names());
  graph::Update update;
  update.set(std::string(kRelevantTablesField), graph::Json(std::move(kept)));
  return update;
}

std::vector<std::string> RelevantTablePicker::keep_known_tables(
    const std::vector<std::string>& picked, const std::vector<std::string>& known) {
  std::vector<std::string> kept;
  for (const std::string& raw : picked) {
    const std::string_view name = trim(raw);
    auto match = std::find(known.begin(), known.end(), name);
    if (match == known.end()) {
      match = std::find_if(known.begin(), known.end(),
                           [&](const std::string& table) { return iequals(table, name); });
    }
    if (match != known.end() && std::find(kept.begin(), kept.end(), *match) == kept.end()) {
      kept.push_back(*match);
    }
  }
  return kept;
}

}  // namespace norvex::query_flow

#include "norvex/flow_stages/tools.hpp"

#include "norvex/error.hpp"
#include "norvex/prompts/prompt_template.hpp"

namespace norvex::flow_stages {

const std::string_view QUERY_CHECKER_TEMPLATE =
    R"(You review a {dialect} query before it is run.

Query:
{query}

Check the query for common mistakes: NOT IN over a column that may hold NULL, UNION where
UNION ALL is meant, BETWEEN used for a range that should exclude its ends, comparisons between
values of different data types, identifiers quoted the wrong way for {dialect}, functions
called with the wrong number of arguments, casts to the wrong type, joins on the wrong
columns, and syntax that {dialect} does not accept.
If you find mistakes, rewrite the query to fix them. If there are none, keep the query
exactly as it is.

Answer with the final SQL query and nothing else: no explanation, no comments, no code fence.)";

namespace {

template <typename T>
std::shared_ptr<T> require(std::shared_ptr<T> pointer, const char* what) {
  if (!pointer) throw ArgumentError(std::string(what) + " must not be null");
  return pointer;
}

const prompts::PromptTemplate& checker_template() {
  static const auto compiled =
      prompts::PromptTemplate::from_template(std::string(QUERY_CHECKER_TEMPLATE));
  return compiled;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view blanks = " \t\r\n";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

ListSQLDatabaseTool::ListSQLDatabaseTool(std::shared_ptr<sql::CustomSQLDatabase> db)
    : db_(require(std::move(db), "db")) {}

std::string ListSQLDatabaseTool::run(std::string_view /*input*/) const {
  return db_->table_listing();
}

InfoSQLDatabaseTool::InfoSQLDatabaseTool(std::shared_ptr<sql::CustomSQLDatabase> db)
    : db_(require(std::move(db), "db")) {}

std::string InfoSQLDatabaseTool::run(std::string_view table_names) const {
  return db_->get_table_info(table_names);
}

QuerySQLCheckerTool::QuerySQLCheckerTool(std::shared_ptr<sql::CustomSQLDatabase> db,
                                         std::shared_ptr<llm::ChatModel> model)
    : model_(require(std::move(model), "model")),
      dialect_(require(std::move(db), "db")->dialect()) {}

std::string QuerySQLCheckerTool::prompt(std::string_view query) const {
  return checker_template().format({{"dialect", dialect_}, {"query", std::string(query)}});
}

std::string QuerySQLCheckerTool::run(std::string_view query) const {
  return strip_code_fence(model_->invoke(std::string_view(prompt(query))).content);
}

std::string strip_code_fence(std::string_view reply) {
  auto text = trim(reply);
  constexpr std::string_view fence = "```";
  if (text.size() >= 2 * fence.size() && text.starts_with(fence) && text.ends_with(fence)) {
    auto inner = text.substr(fence.size(), text.size() - 2 * fence.size());
    // The opening fence's line may name a language ("```sql"); the code starts after it.
    const auto newline = inner.find('\n');
    if (newline != std::string_view::npos &&
        inner.substr(0, newline).find_first_of(" \t") == std::string_view::npos) {
      inner.remove_prefix(newline + 1);
    }
    text = trim(inner);
  }
  return std::string(text);
}

}  // namespace norvex::flow_stages

#pragma once
/// Catalogue tools over the database facade (table listing, table schemas) and the query
/// checker that has a chat model review a query before it runs.

#include <memory>
#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

#include "norvex/llm/chat_model.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::flow_stages {

/// Lists the usable tables of a database.
/// Thread rule: safe for concurrent use (the facade serialises its connection).
class NORVEX_API ListSQLDatabaseTool {
 public:
  /// Throws ArgumentError for a null facade.
  explicit ListSQLDatabaseTool(std::shared_ptr<sql::CustomSQLDatabase> db);
  /// Every usable table name, separated by ", ". The input is ignored. Throws DatabaseError.
  [[nodiscard]] std::string run(std::string_view input = {}) const;
  /// Same as run().
  [[nodiscard]] std::string invoke(std::string_view input = {}) const { return run(input); }

 private:
  std::shared_ptr<sql::CustomSQLDatabase> db_;
};

/// Describes tables: CREATE TABLE-style text with sample rows, as the facade renders it.
/// Thread rule: safe for concurrent use.
class NORVEX_API InfoSQLDatabaseTool {
 public:
  /// Throws ArgumentError for a null facade.
  explicit InfoSQLDatabaseTool(std::shared_ptr<sql::CustomSQLDatabase> db);
  /// The schema text of the tables named in `table_names` (separated by commas, blanks
  /// around a name ignored). Throws DatabaseError, naming every unknown table.
  [[nodiscard]] std::string run(std::string_view table_names) const;
  /// Same as run().
  [[nodiscard]] std::string invoke(std::string_view table_names) const { return run(table_names); }

 private:
  std::shared_ptr<sql::CustomSQLDatabase> db_;
};

/// The checker's prompt: default syntax, placeholders `dialect` and `query`.
extern NORVEX_API const std::string_view QUERY_CHECKER_TEMPLATE;

/// Has a chat model review a query for common mistakes of the database's dialect and
/// returns the corrected query (the same query when nothing needs changing).
/// Thread rule: safe for concurrent use, like its model.
class NORVEX_API QuerySQLCheckerTool {
 public:
  /// Reads the facade's dialect. Throws ArgumentError for a null facade or model.
  QuerySQLCheckerTool(std::shared_ptr<sql::CustomSQLDatabase> db,
                      std::shared_ptr<llm::ChatModel> model);
  /// The prompt text sent for `query`. Never throws.
  [[nodiscard]] std::string prompt(std::string_view query) const;
  /// One chat call; the reply with surrounding blanks and a code fence around the whole
  /// reply removed. Throws ChatServiceError.
  [[nodiscard]] std::string run(std::string_view query) const;
  /// Same as run().
  [[nodiscard]] std::string invoke(std::string_view query) const { return run(query); }
  [[nodiscard]] const std::string& dialect() const noexcept { return dialect_; }

 private:
  std::shared_ptr<llm::ChatModel> model_;
  std::string dialect_;
};

/// A reply without surrounding blanks and, when the whole reply is one code fence
/// (```lang ... ```), without the fence. Never throws.
[[nodiscard]] NORVEX_API std::string strip_code_fence(std::string_view reply);

}  // namespace norvex::flow_stages

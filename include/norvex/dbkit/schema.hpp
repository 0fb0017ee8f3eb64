#pragma once
/// Schema extraction: the tables of the configured database, each with its columns' names
/// and types, read over a fresh connection per call.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::dbkit {

/// Printed, followed by the message, when reading the schema fails part-way.
inline constexpr std::string_view kSchemaErrorPrefix = "An error occurred: ";

/// MySQL statements; the table name follows kMysqlColumnsQuery as a quoted identifier.
inline constexpr std::string_view kMysqlTablesQuery = "SHOW TABLES";
inline constexpr std::string_view kMysqlColumnsQuery = "SHOW COLUMNS FROM ";
inline constexpr std::string_view kMysqlFieldColumn = "Field";
inline constexpr std::string_view kMysqlTypeColumn = "Type";

/// PostgreSQL statements; the table name is bound to $1.
inline constexpr std::string_view kPgTablesQuery =
    "SELECT table_name\n"
    "FROM information_schema.tables\n"
    "WHERE table_schema = 'public'";
inline constexpr std::string_view kPgColumnsQuery =
    "SELECT column_name, data_type\n"
    "FROM information_schema.columns\n"
    "WHERE table_name = $1";
inline constexpr std::string_view kPgTableNameColumn = "table_name";
inline constexpr std::string_view kPgColumnNameColumn = "column_name";
inline constexpr std::string_view kPgDataTypeColumn = "data_type";

/// One column: its name and the type text the server reports (MySQL: the full column
/// type, e.g. "varchar(120)"; PostgreSQL: the standard type name, e.g. "character varying").
/// Thread rule: a plain value.
struct NORVEX_API ColumnInfo {
  std::string name;
  std::string type;

  friend bool operator==(const ColumnInfo&, const ColumnInfo&) = default;
};

/// Tables in the order the server listed them, each name once, with its columns in the
/// order the server listed them.
/// Thread rule: a plain value; concurrent const use is safe.
class NORVEX_API Schema {
 public:
  struct Table {
    std::string name;
    std::vector<ColumnInfo> columns;

    friend bool operator==(const Table&, const Table&) = default;
  };
  using const_iterator = std::vector<Table>::const_iterator;

  /// Gives `name` an empty column list: a new table goes last, a known one keeps its
  /// place. Returns that list for filling (valid until the next reset_table).
  std::vector<ColumnInfo>& reset_table(std::string name);

  /// The columns of `name`, or nullptr when the schema does not hold it.
  [[nodiscard]] const std::vector<ColumnInfo>* find(std::string_view name) const noexcept;
  /// The table names in order.
  [[nodiscard]] std::vector<std::string> table_names() const;

  [[nodiscard]] std::size_t size() const noexcept { return tables_.size(); }
  [[nodiscard]] bool empty() const noexcept { return tables_.empty(); }
  [[nodiscard]] const_iterator begin() const noexcept { return tables_.begin(); }
  [[nodiscard]] const_iterator end() const noexcept { return tables_.end(); }

  friend bool operator==(const Schema&, const Schema&) = default;

 private:
  std::vector<Table> tables_;
};

/// Reads the configured MySQL database's tables ("SHOW TABLES") and each one's columns
/// ("SHOW COLUMNS FROM `name`"). Returns nothing when no connection could be opened (the
/// connection's failure line is printed); when a statement fails, prints
/// kSchemaErrorPrefix + the message and returns the schema as far as it got. Never throws.
[[nodiscard]] NORVEX_API std::optional<Schema> get_mysql_database_schema();

/// Reads the configured PostgreSQL database's tables and views of the schema public and
/// each one's columns (matched by table name in every schema). Failures as for MySQL; an
/// error other than a refused connection gives the printed line and an empty schema.
/// Never throws.
[[nodiscard]] NORVEX_API std::optional<Schema> get_pgdb_schema();

}  // namespace norvex::dbkit

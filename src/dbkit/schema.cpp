#include "norvex/dbkit/schema.hpp"

#include <exception>

#include "norvex/dbkit/config.hpp"
#include "norvex/dbkit/connection.hpp"
#include "norvex/error.hpp"
#include "output.hpp"

namespace norvex::dbkit {
namespace {

// A table name goes into SHOW COLUMNS as a quoted identifier: names with blanks, hyphens
// or reserved words must not break the listing (or let a name smuggle in SQL).
std::string quote_identifier(std::string_view name) {
  std::string quoted = "`";
  for (const char c : name) {
    quoted += c;
    if (c == '`') quoted += '`';
  }
  quoted += '`';
  return quoted;
}

const std::string& text_of(const Cell& cell, std::string_view field) {
  if (cell.kind() != Cell::Kind::text && cell.kind() != Cell::Kind::bytes) {
    throw DatabaseError("the field '" + std::string(field) + "' holds no text");
  }
  return cell.as_text();
}

std::size_t column_index(const PgResult& result, std::string_view name) {
  for (std::size_t i = 0; i < result.columns.size(); ++i) {
    if (result.columns[i] == name) return i;
  }
  throw DatabaseError("the result has no field '" + std::string(name) + "'");
}

void report(std::string_view message, std::string_view password) {
  detail::print_line(std::string(kSchemaErrorPrefix) +
                     detail::scrub(std::string(message), password));
}

constexpr std::string_view kUnknownError = "unknown error";

}  // namespace

std::vector<ColumnInfo>& Schema::reset_table(std::string name) {
  for (auto& table : tables_) {
    if (table.name == name) {
      table.columns.clear();
      return table.columns;
    }
  }
  tables_.push_back(Table{std::move(name), {}});
  return tables_.back().columns;
}

const std::vector<ColumnInfo>* Schema::find(std::string_view name) const noexcept {
  for (const auto& table : tables_) {
    if (table.name == name) return &table.columns;
  }
  return nullptr;
}

std::vector<std::string> Schema::table_names() const {
  std::vector<std::string> names;
  names.reserve(tables_.size());
  for (const auto& table : tables_) names.push_back(table.name);
  return names;
}

std::optional<Schema> get_mysql_database_schema() {
  const DatabaseConfig config = database_config();
  const std::string password = config.db_password.value_or("");
  Schema schema;
  std::optional<MysqlConnection> connection;
  try {
    connection = get_mysql_db_connection(config.db_user, config.db_password, config.db_host,
                                         config.db_port, config.db_name);
    if (!connection) return std::nullopt;
    for (const Row& table_row : connection->execute(kMysqlTablesQuery)) {
      // The listing's only field is labelled after the database; take it by position.
      if (table_row.empty()) throw DatabaseError("the table listing returned an empty row");
      const std::string& name = text_of(table_row.begin()->second, "table name");
      auto& columns = schema.reset_table(name);
      const auto column_rows =
          connection->execute(std::string(kMysqlColumnsQuery) + quote_identifier(name));
      for (const Row& column : column_rows) {
        columns.push_back({text_of(column.at(kMysqlFieldColumn), kMysqlFieldColumn),
                           text_of(column.at(kMysqlTypeColumn), kMysqlTypeColumn)});
      }
    }
  } catch (const std::exception& error) {
    report(error.what(), password);
  } catch (...) {
    report(kUnknownError, password);
  }
  if (connection) connection->close();
  return schema;
}

// Deliberately parallel to get_mysql_database_schema: the same procedure with each engine's own
// catalogue statements and row shapes, kept apart so that each engine's rules read plainly.
std::optional<Schema> get_pgdb_schema() {
  const DatabaseConfig config = database_config();
  const std::string password = config.db_password.value_or("");
  Schema schema;
  std::optional<PgConnection> connection;
  try {
    connection = get_pgdb_connection(config.db_user, config.db_password, config.db_host,
                                     config.db_port, config.db_name);
    if (!connection) return std::nullopt;
    const PgResult tables = connection->execute(kPgTablesQuery);
    const std::size_t table_name = column_index(tables, kPgTableNameColumn);
    for (const PgRow& table_row : tables.rows) {
      const std::string& name = text_of(table_row.at(table_name), kPgTableNameColumn);
      auto& columns = schema.reset_table(name);
      const PgResult column_rows = connection->execute(kPgColumnsQuery, {name});
      const std::size_t column_name = column_index(column_rows, kPgColumnNameColumn);
      const std::size_t data_type = column_index(column_rows, kPgDataTypeColumn);
      for (const PgRow& column : column_rows.rows) {
        columns.push_back({text_of(column.at(column_name), kPgColumnNameColumn),
                           text_of(column.at(data_type), kPgDataTypeColumn)});
      }
    }
  } catch (const std::exception& error) {
    report(error.what(), password);
  } catch (...) {
    report(kUnknownError, password);
  }
  if (connection) connection->close();
  return schema;
}

}  // namespace norvex::dbkit

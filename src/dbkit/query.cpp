#include "norvex/dbkit/query.hpp"

#include <algorithm>
#include <exception>

#include "norvex/dbkit/config.hpp"
#include "norvex/dbkit/connection.hpp"
#include "norvex/error.hpp"
#include "output.hpp"

namespace norvex::dbkit {
namespace {

constexpr std::string_view kQueryKeyword = "SELECT";
constexpr std::string_view kWhiteSpace = " \t\n\r\f\v";
// What the client says when rows are fetched from a statement that returned none.
constexpr std::string_view kNoResultsToFetch = "no results to fetch";

// Only the start of the text counts: WITH, a comment or a parenthesis first is no query.
bool is_query_text(std::string_view sql) {
  const auto start = sql.find_first_not_of(kWhiteSpace);
  if (start == std::string_view::npos) return false;
  sql.remove_prefix(start);
  if (sql.size() < kQueryKeyword.size()) return false;
  return std::equal(kQueryKeyword.begin(), kQueryKeyword.end(), sql.begin(), [](char want, char c) {
    return want == ((c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c);
  });
}

void report(std::string_view message, std::string_view password) {
  detail::print_line(std::string(kQueryErrorPrefix) +
                     detail::scrub(std::string(message), password));
}

constexpr std::string_view kUnknownError = "unknown error";

}  // namespace

std::optional<std::vector<Row>> execute_mysql_query(std::string_view sql_query) {
  const DatabaseConfig config = database_config();
  std::optional<std::vector<Row>> rows;
  std::optional<MysqlConnection> connection;
  try {
    connection = get_mysql_db_connection(config.db_user, config.db_password, config.db_host,
                                         config.db_port, config.db_name);
    if (connection) rows = connection->execute(sql_query);
  } catch (const std::exception& error) {
    report(error.what(), config.db_password.value_or(""));
    rows.reset();
  } catch (...) {
    report(kUnknownError, config.db_password.value_or(""));
    rows.reset();
  }
  if (connection) connection->close();
  return rows;
}

// Deliberately parallel to execute_mysql_query: each engine's rules (row shapes, the
// no-results check, the commit) stay readable in one place rather than behind a template.
std::optional<std::vector<PgRow>> execute_pgdb_query(std::string_view sql_query) {
  const DatabaseConfig config = database_config();
  std::optional<std::vector<PgRow>> rows;
  std::optional<PgConnection> connection;
  try {
    connection = get_pgdb_connection(config.db_user, config.db_password, config.db_host,
                                     config.db_port, config.db_name);
    if (connection) {
      PgResult result = connection->execute(sql_query);
      if (is_query_text(sql_query)) {
        if (!result.has_rows) throw DatabaseError(std::string(kNoResultsToFetch));
        rows = std::move(result.rows);
      } else {
        connection->commit();
      }
    }
  } catch (const std::exception& error) {
    report(error.what(), config.db_password.value_or(""));
    rows.reset();
  } catch (...) {
    report(kUnknownError, config.db_password.value_or(""));
    rows.reset();
  }
  if (connection) connection->close();
  return rows;
}

}  // namespace norvex::dbkit

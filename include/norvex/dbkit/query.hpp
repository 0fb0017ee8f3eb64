#pragma once
/// Query execution: one SQL text, sent unchanged over a fresh connection to the configured
/// database, all rows fetched into memory.

#include <optional>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/dbkit/cell.hpp"

namespace norvex::dbkit {

/// Printed, followed by the message, when a statement, its fetch or its commit fails.
inline constexpr std::string_view kQueryErrorPrefix =
    "An error occurred while executing the query: ";

/// Runs `sql_query` on the configured MySQL database and returns every row of its result
/// (empty for a statement without one). Nothing is committed, so a change to a
/// transactional table does not last. Returns nothing on failure: the connection's failure
/// line, or kQueryErrorPrefix + the message, is printed. Never throws.
[[nodiscard]] NORVEX_API std::optional<std::vector<Row>> execute_mysql_query(
    std::string_view sql_query);

/// Runs `sql_query` on the configured PostgreSQL database. A text that, stripped of
/// surrounding white space and upper-cased, begins with "SELECT" is a query: its rows are
/// returned and nothing is committed. Any other text is committed and gives nothing.
/// Returns nothing on failure, with the connection's failure line or kQueryErrorPrefix +
/// the message printed. Never throws.
[[nodiscard]] NORVEX_API std::optional<std::vector<PgRow>> execute_pgdb_query(
    std::string_view sql_query);

}  // namespace norvex::dbkit

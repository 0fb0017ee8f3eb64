#pragma once
// The seam between the facade and one engine's client library.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/error.hpp"
#include "norvex/sql/database.hpp"
#include "norvex/sql/rows.hpp"
#include "norvex/sql/statement_guard.hpp"
#include "norvex/sql/uri.hpp"

namespace norvex::sql::detail {

struct ColumnInfo {
  std::string name;
  std::string type;
  bool not_null = false;
};

struct KeyInfo {
  bool primary = false;
  std::vector<std::string> columns;
  std::string ref_table;
  std::vector<std::string> ref_columns;
};

struct TableSchema {
  std::string name;
  std::vector<ColumnInfo> columns;
  std::vector<KeyInfo> keys;
  std::string comment;  // what the table's creator noted about it, one line each; or empty
};

/// Receives a result: its column labels once, then each row.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void columns(const std::vector<std::string>& labels) = 0;
  /// Returns false to stop fetching.
  virtual bool row(const Row& row) = 0;
};

/// The connection was lost (server restarted or gone); the facade re-opens it once.
class ConnectionLost : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

/// One connection to one engine. Every statement runs read-only, rolled back, under the
/// statement time-out; callers check generated statements with the guard first.
/// Thread rule: not thread-safe; the facade serialises calls.
class Backend {
 public:
  virtual ~Backend() = default;
  [[nodiscard]] virtual const std::string& dialect() const noexcept = 0;
  [[nodiscard]] virtual SqlLexicon lexicon() const = 0;
  /// Runs one statement. Throws DatabaseError, ConnectionLost.
  virtual void execute(std::string_view sql, RowSink& sink) = 0;
  /// Usable tables and views of the default schema, any order.
  virtual std::vector<std::string> table_names() = 0;
  /// Columns and keys of the named (existing) tables, in a fixed number of queries.
  virtual std::vector<TableSchema> describe(const std::vector<std::string>& names) = 0;
  /// Up to `rows` rows of a table.
  virtual void sample(std::string_view table, int rows, RowSink& sink) = 0;
  [[nodiscard]] virtual std::string quote(std::string_view identifier) const = 0;
  /// Closes and opens the connection again. Throws DatabaseError.
  virtual void reconnect() = 0;
  /// A local check, without a round trip, that an idle connection is still usable: false
  /// when the server has closed it (or said it will). Never throws.
  [[nodiscard]] virtual bool healthy() const noexcept { return true; }
};

// Exported for the tests that check each read-only layer below the facade; this header is
// not installed.
NORVEX_API std::unique_ptr<Backend> open_sqlite(const ConnectionUri& uri, const Options& options);
NORVEX_API std::unique_ptr<Backend> open_mysql(const ConnectionUri& uri, const Options& options);
NORVEX_API std::unique_ptr<Backend> open_postgres(const ConnectionUri& uri, const Options& options);
NORVEX_API std::unique_ptr<Backend> open_odbc(const ConnectionUri& uri, const Options& options);

/// True when an idle connection's socket has nothing to read and is not closed: a server
/// that ends a connection (killed, restarted, timed out) says so or closes the socket, both
/// of which make it readable. Never throws.
bool idle_socket_healthy(int fd) noexcept;

/// Runs `statement`, then `rollback`, also when the statement fails; after a lost connection
/// there is nothing to roll back, so that error passes on at once.
template <class Statement, class Rollback>
void run_then_roll_back(Statement&& statement, Rollback&& rollback) {
  try {
    statement();
  } catch (const ConnectionLost&) {
    throw;
  } catch (...) {
    rollback();
    throw;
  }
  rollback();
}

/// Quotes an identifier by doubling the quote character.
std::string quote_with(std::string_view identifier, char open, char close);

}  // namespace norvex::sql::detail

#pragma once
// The seam between the facade and one engine's client library.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
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

/// The connection was lost before the statement reached the server (server restarted or
/// gone); the facade re-opens it and runs the statement once more. A connection lost after
/// the statement was sent is a plain DatabaseError: the statement is never run twice.
class ConnectionLost : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

/// Stops a statement that outlives its time-out when the server's own time-out did not:
/// `cancel` runs at `cancel_at`, then `abandon` at `abandon_at`, each on the watchdog's
/// thread, unless the statement ended first (the watchdog was destroyed). `abandon` must
/// make the blocked client call return (by shutting the socket) and end the server's work.
/// Thread rule: owned by the thread that runs the statement.
class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;
  Watchdog(Clock::time_point cancel_at, std::function<void()> cancel, Clock::time_point abandon_at,
           std::function<void()> abandon);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  /// Whether `cancel` (or also `abandon`) began.
  [[nodiscard]] bool cancelled() const noexcept { return cancelled_; }
  [[nodiscard]] bool abandoned() const noexcept { return abandoned_; }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::atomic<bool> cancelled_{false}, abandoned_{false};
  std::thread thread_;
};

/// When a statement started at `started` is cancelled and then abandoned: half the grace
/// after its time-out, then three quarters of it, which leaves the last quarter for ending
/// the server's work and returning.
Watchdog::Clock::time_point cancel_time(Watchdog::Clock::time_point started, const Options& o);
Watchdog::Clock::time_point abandon_time(Watchdog::Clock::time_point started, const Options& o);

/// The error of a statement stopped after its time-out.
DatabaseError timed_out(const Options& options);

/// Runs `statement` (started at `started`) under a Watchdog with `cancel` and `abandon`, then
/// settles the connection: an abandoned statement or one whose connection was lost while it
/// ran is never run again (`drop` closes the connection; the error says so); otherwise
/// `reset` returns the connection to a clean session before the statement's own error (a
/// time-out when it was cancelled) is thrown.
void run_watched(Watchdog::Clock::time_point started, const Options& options,
                 const std::function<void()>& statement, std::function<void()> cancel,
                 std::function<void()> abandon, const std::function<void()>& drop,
                 const std::function<void()>& reset);

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

/// Quotes an identifier by doubling the quote character.
std::string quote_with(std::string_view identifier, char open, char close);

}  // namespace norvex::sql::detail

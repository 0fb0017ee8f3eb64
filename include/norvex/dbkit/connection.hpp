#pragma once
/// Connections of the database tool: a connection test for MySQL, PostgreSQL and Microsoft
/// SQL Server (the ODBC driver manager is bound at run time, only when asked for), and
/// live MySQL and PostgreSQL connections owned by the caller.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/dbkit/cell.hpp"
#include "norvex/dbkit/config.hpp"

struct st_mysql;  // MYSQL of MariaDB Connector/C
struct pg_conn;   // PGconn of libpq

namespace norvex::dbkit {

/// Engine names that get_db_connection accepts (exact, case-sensitive).
inline constexpr std::string_view kMysqlEngine = "MySQL";
inline constexpr std::string_view kPostgresEngine = "PostgreSQL";
inline constexpr std::string_view kMssqlEngine = "MsSQL";

/// Texts of get_db_connection.
inline constexpr std::string_view kConnectionEstablished = "Success! Connection Established! .";
inline constexpr std::string_view kUnsupportedEngine = "Unsupported SQL engine specified.";
/// A failure is kFailedToConnect + engine + kFailedToConnectDatabase + the message.
inline constexpr std::string_view kFailedToConnect = "Failed to connect to ";
inline constexpr std::string_view kFailedToConnectDatabase = " database: ";

/// Printed by get_mysql_db_connection, followed by the message.
inline constexpr std::string_view kMysqlConnectFailed = "Failed to connect to the database: ";
/// Printed by get_pgdb_connection around the message: kPgErrorOpen + message + kPgErrorClose.
inline constexpr std::string_view kPgErrorOpen = "The error '";
inline constexpr std::string_view kPgErrorClose = "' occurred";

/// The ODBC driver manager that the "MsSQL" test binds at run time.
inline constexpr std::string_view kOdbcLibrary = "libodbc.so.2";

namespace detail {
struct NORVEX_API MysqlCloser {
  void operator()(st_mysql* handle) const noexcept;
};
struct NORVEX_API PgCloser {
  void operator()(pg_conn* handle) const noexcept;
};
}  // namespace detail

/// An open MySQL connection with automatic commit off; every result row is a Row keyed by
/// column label. Closes on destruction (an uncommitted transaction is then rolled back).
/// Thread rule: one thread at a time per connection.
class NORVEX_API MysqlConnection {
 public:
  /// Connects over TCP (also for host "localhost": a port is always given) with the
  /// utf8mb4 character set and local infile off. An absent value is left to the client's
  /// default. Throws DatabaseError when the client or server refuses (bad port text
  /// included), ArgumentError when a value holds a NUL character.
  [[nodiscard]] static MysqlConnection connect(const std::optional<std::string>& user,
                                               const std::optional<std::string>& password,
                                               const std::optional<std::string>& host,
                                               const Port& port,
                                               const std::optional<std::string>& database);

  MysqlConnection(MysqlConnection&&) noexcept = default;
  MysqlConnection& operator=(MysqlConnection&&) noexcept = default;
  ~MysqlConnection() = default;

  /// Runs one statement and fetches every row of its first result; a statement without a
  /// result yields no rows. A label repeated within a row is qualified as "table.label".
  /// Throws DatabaseError (message never holding the password).
  std::vector<Row> execute(std::string_view sql);
  /// Commits the open transaction. Throws DatabaseError.
  void commit();
  /// Closes the connection; later statements throw DatabaseError. Never throws.
  void close() noexcept;
  [[nodiscard]] bool is_open() const noexcept { return handle_ != nullptr; }

 private:
  MysqlConnection(std::unique_ptr<st_mysql, detail::MysqlCloser> handle, std::string password);
  st_mysql* open_handle() const;
  [[noreturn]] void fail() const;

  std::unique_ptr<st_mysql, detail::MysqlCloser> handle_;
  std::string password_;  // only to keep it out of error messages
};

/// The rows of one PostgreSQL statement.
/// Thread rule: a plain value.
struct NORVEX_API PgResult {
  std::vector<std::string> columns;  ///< labels in column order
  std::vector<PgRow> rows;
  bool has_rows = false;  ///< the statement produced a result set (possibly empty)
};

/// An open PostgreSQL connection with automatic commit off: the first statement after a
/// connect or a commit opens a transaction that lasts until commit() or close. Closes on
/// destruction (an uncommitted transaction is then rolled back by the server).
/// Thread rule: one thread at a time per connection.
class NORVEX_API PgConnection {
 public:
  /// Connects with user, password, host, port and dbname in that order (absent values
  /// left to libpq's defaults) and the UTF8 client encoding. Throws DatabaseError for
  /// every failure libpq reports (unreachable server, refused credentials, unknown
  /// database, a port text that is not a number), ArgumentError when a value holds a NUL
  /// character.
  [[nodiscard]] static PgConnection connect(const std::optional<std::string>& user,
                                            const std::optional<std::string>& password,
                                            const std::optional<std::string>& host,
                                            const Port& port,
                                            const std::optional<std::string>& database);

  PgConnection(PgConnection&&) noexcept = default;
  PgConnection& operator=(PgConnection&&) noexcept = default;
  ~PgConnection() = default;

  /// Runs `sql` inside the open transaction. Without parameters the text may hold several
  /// statements (the last one's result counts); with parameters it is one statement whose
  /// $1, $2, ... are bound to them as text, never spliced. Throws DatabaseError (with the
  /// SQLSTATE), ArgumentError when the text or a parameter holds a NUL character.
  PgResult execute(std::string_view sql, const std::vector<std::string>& parameters = {});
  /// Commits the open transaction, if any. Throws DatabaseError.
  void commit();
  /// Closes the connection; later statements throw DatabaseError. Never throws.
  void close() noexcept;
  [[nodiscard]] bool is_open() const noexcept { return handle_ != nullptr; }

 private:
  PgConnection(std::unique_ptr<pg_conn, detail::PgCloser> handle, std::string password);
  pg_conn* open_handle() const;

  std::unique_ptr<pg_conn, detail::PgCloser> handle_;
  std::string password_;  // only to keep it out of error messages
};

/// Tests a connection: connects to the named engine ("MySQL", "PostgreSQL" or "MsSQL")
/// and releases the connection at once. Returns kConnectionEstablished, kUnsupportedEngine
/// for any other engine name (nothing is tried), or kFailedToConnect + engine +
/// kFailedToConnectDatabase + the client's message. Prints nothing; never throws.
[[nodiscard]] NORVEX_API std::string get_db_connection(
    std::string_view engine, const std::string& db_user, const std::string& db_password,
    const std::string& db_host, const Port& db_port, const std::string& db_name);

/// Opens a MySQL connection for the caller. On failure prints kMysqlConnectFailed + the
/// message and returns nothing. Never throws.
[[nodiscard]] NORVEX_API std::optional<MysqlConnection> get_mysql_db_connection(
    const std::optional<std::string>& db_user, const std::optional<std::string>& db_password,
    const std::optional<std::string>& db_host, const Port& db_port,
    const std::optional<std::string>& db_name);

/// Opens a PostgreSQL connection for the caller. When libpq refuses (DatabaseError) prints
/// kPgErrorOpen + message + kPgErrorClose and returns nothing; throws ArgumentError for a
/// value holding a NUL character, which the client cannot carry.
[[nodiscard]] NORVEX_API std::optional<PgConnection> get_pgdb_connection(
    const std::optional<std::string>& db_user, const std::optional<std::string>& db_password,
    const std::optional<std::string>& db_host, const Port& db_port,
    const std::optional<std::string>& db_name);

/// The ODBC connection string of the "MsSQL" test:
/// DRIVER={SQL Server};SERVER=host,port;DATABASE=name;UID=user;PWD=password. A value (the
/// SERVER value taken whole) that holds ';', '{', '}' or starts or ends with a blank is
/// enclosed in braces with each '}' doubled, so it cannot split the attribute list;
/// ordinary values stay as they are. Never throws.
[[nodiscard]] NORVEX_API std::string mssql_connection_string(std::string_view db_user,
                                                             std::string_view db_password,
                                                             std::string_view db_host,
                                                             const Port& db_port,
                                                             std::string_view db_name);

}  // namespace norvex::dbkit

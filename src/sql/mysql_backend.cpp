// MySQL and MariaDB through MariaDB Connector/C: the session is read-only and each statement
// runs in a START TRANSACTION READ ONLY under the server's statement time-out, after which
// the connection is reset (rolled back, named locks released, variables cleared); local
// infile is off and multi-statements are never enabled.
#include <errmsg.h>
#include <mysql.h>

#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <mutex>

#include "backend.hpp"
#include "convert.hpp"
#include "handle.hpp"
#include "norvex/base/once.hpp"

namespace norvex::sql::detail {
namespace {

using Conn = Handle<MYSQL, mysql_close>;
using Result = Handle<MYSQL_RES, mysql_free_result>;

const std::string kDialect = "mysql";
constexpr unsigned kBinaryCharset = 63;
constexpr unsigned kMariaDbStatementTimeout = 1969;  // ER_STATEMENT_TIMEOUT
constexpr unsigned kMysqlStatementTimeout = 3024;    // ER_QUERY_TIMEOUT

// Once per process, whichever of our libraries connects first: the client library must not
// be initialised twice, nor concurrently.
void library_init() {
  base::once_per_process("mysql_library_init", [] { mysql_library_init(0, nullptr, nullptr); });
}

Value convert(const MYSQL_FIELD& field, const char* data, unsigned long length) {
  if (data == nullptr) return Value::null_value();
  const std::string_view text(data, length);
  switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_YEAR:
      return integer_value(text);
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      return Value::of(Value::Kind::decimal, std::string(text));
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
      return real_value(text);
    case MYSQL_TYPE_BIT: {
      std::uint64_t bits = 0;
      for (char c : text) bits = (bits << 8) | static_cast<unsigned char>(c);
      return Value::of_int(static_cast<std::int64_t>(bits));
    }
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
      return Value::of(Value::Kind::date, std::string(text));
    case MYSQL_TYPE_TIME:
      return Value::of(Value::Kind::time, std::string(text));
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      return Value::of(Value::Kind::timestamp, std::string(text));
    case MYSQL_TYPE_NULL:
      return Value::null_value();
    case MYSQL_TYPE_GEOMETRY:
      return Value::of(Value::Kind::bytes, std::string(text));
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_VARCHAR:
      return Value::of(field.charsetnr == kBinaryCharset ? Value::Kind::bytes : Value::Kind::text,
                       std::string(text));
    default:
      return Value::of(Value::Kind::text, std::string(text));
  }
}

class MysqlBackend final : public Backend {
 public:
  MysqlBackend(const ConnectionUri& uri, const Options& options) : uri_(uri), options_(options) {
    library_init();
    connect();
  }

  const std::string& dialect() const noexcept override { return kDialect; }

  SqlLexicon lexicon() const override {
    return lexicon_for_dialect(kDialect, backslash_escapes_, ansi_quotes_);
  }

  std::string quote(std::string_view identifier) const override {
    return quote_with(identifier, '`', '`');
  }

  void execute(std::string_view sql, RowSink& sink) override {
    const auto started = Watchdog::Clock::now();
    // Re-asserted every time, since the reset after each statement returns the session to
    // the server's defaults. Lost here, nothing was run: the facade may try again.
    command(session_settings_);
    command("START TRANSACTION READ ONLY");
    const unsigned long id = mysql_thread_id(conn_.get());
    const int socket = static_cast<int>(mysql_get_socket(conn_.get()));
    run_watched(
        started, options_, [&] { stream(sql, sink); }, [&] { kill("KILL QUERY ", id); },
        [&] {
          ::shutdown(socket, SHUT_RDWR);
          kill("KILL CONNECTION ", id);
        },
        [&] { conn_.reset(); }, [&] { reset(); });
  }

  std::vector<std::string> table_names() override {
    std::vector<std::string> names;
    for (auto& row : query("SELECT TABLE_NAME FROM information_schema.TABLES "
                           "WHERE TABLE_SCHEMA = DATABASE()")) {
      names.push_back(std::move(row[0]));
    }
    return names;
  }

  std::vector<TableSchema> describe(const std::vector<std::string>& names) override {
    std::vector<TableSchema> tables;
    std::string list;
    for (const auto& name : names) {
      if (!list.empty()) list += ", ";
      list += literal(name);
    }
    for (auto& row : query("SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE "
                           "FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() "
                           "AND TABLE_NAME IN (" +
                           list + ") ORDER BY TABLE_NAME, ORDINAL_POSITION")) {
      if (tables.empty() || tables.back().name != row[0]) tables.push_back({row[0], {}, {}});
      std::string type = row[2];
      std::transform(type.begin(), type.end(), type.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      tables.back().columns.push_back({row[1], type, row[3] == "NO"});
    }
    std::string current_table, current_key;
    for (auto& row : query("SELECT TABLE_NAME, CONSTRAINT_NAME, COLUMN_NAME, "
                           "REFERENCED_TABLE_NAME, REFERENCED_COLUMN_NAME "
                           "FROM information_schema.KEY_COLUMN_USAGE "
                           "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME IN (" +
                           list +
                           ") "
                           "AND (CONSTRAINT_NAME = 'PRIMARY' OR REFERENCED_TABLE_NAME IS NOT NULL) "
                           "ORDER BY TABLE_NAME, CONSTRAINT_NAME <> 'PRIMARY', CONSTRAINT_NAME, "
                           "ORDINAL_POSITION")) {
      auto table = std::find_if(tables.begin(), tables.end(),
                                [&](const TableSchema& s) { return s.name == row[0]; });
      if (table == tables.end()) continue;
      if (row[0] != current_table || row[1] != current_key) {
        current_table = row[0];
        current_key = row[1];
        KeyInfo key;
        key.primary = row[1] == "PRIMARY";
        key.ref_table = row[3];
        table->keys.push_back(std::move(key));
      }
      table->keys.back().columns.push_back(row[2]);
      if (!table->keys.back().primary) table->keys.back().ref_columns.push_back(row[4]);
    }
    return tables;
  }

  void sample(std::string_view table, int rows, RowSink& sink) override {
    execute("SELECT * FROM " + quote(table) + " LIMIT " + std::to_string(rows), sink);
  }

  bool healthy() const noexcept override {
    return conn_ && idle_socket_healthy(static_cast<int>(mysql_get_socket(conn_.get())));
  }

  void reconnect() override {
    conn_.reset();
    connect();
  }

 private:
  // Sets the client options and connects; false with the client's error on `conn`.
  bool open(MYSQL* conn) const {
    const unsigned connect_seconds = static_cast<unsigned>(
        std::max<long long>(1, (options_.connect_timeout.count() + 999) / 1000));
    // The client-side read limit only backs up the server's statement time-out.
    const unsigned read_seconds =
        static_cast<unsigned>((options_.statement_timeout.count() + 999) / 1000 + 10);
    const unsigned no_infile = 0;
    const my_bool no_reconnect = 0;
    mysql_optionsv(conn, MYSQL_OPT_CONNECT_TIMEOUT, &connect_seconds);
    mysql_optionsv(conn, MYSQL_OPT_READ_TIMEOUT, &read_seconds);
    mysql_optionsv(conn, MYSQL_OPT_WRITE_TIMEOUT, &read_seconds);
    mysql_optionsv(conn, MYSQL_OPT_LOCAL_INFILE, &no_infile);
    mysql_optionsv(conn, MYSQL_OPT_RECONNECT, &no_reconnect);
    mysql_optionsv(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (uri_.port) {
      // "localhost" would mean the Unix socket and the port would be ignored.
      const unsigned tcp = MYSQL_PROTOCOL_TCP;
      mysql_optionsv(conn, MYSQL_OPT_PROTOCOL, &tcp);
    }
    const char* host = uri_.host.empty() ? nullptr : uri_.host.c_str();
    const char* db = uri_.database.empty() ? nullptr : uri_.database.c_str();
    return mysql_real_connect(conn, host, uri_.user.c_str(), uri_.password.c_str(), db,
                              uri_.port ? static_cast<unsigned>(*uri_.port) : 0, nullptr,
                              0) != nullptr;
  }

  void connect() {
    Conn conn(mysql_init(nullptr));
    if (!conn) throw DatabaseError("Cannot connect to MySQL: out of memory");
    if (!open(conn.get())) {
      throw DatabaseError(
          "Cannot connect to MySQL: " + scrub(mysql_error(conn.get()), uri_.password),
          mysql_sqlstate(conn.get()), true);
    }
    conn_ = std::move(conn);
    const std::string server = mysql_get_server_info(conn_.get());
    const long long ms = std::max<long long>(1, options_.statement_timeout.count());
    if (server.find("MariaDB") != std::string::npos) {
      session_settings_ = "SET NAMES utf8mb4, SESSION tx_read_only = 1, ";
      session_settings_ += "SESSION max_statement_time = " + std::to_string(ms / 1000) + "." +
                           std::to_string(1000 + ms % 1000).substr(1);
    } else {
      session_settings_ = "SET NAMES utf8mb4, SESSION transaction_read_only = 1, ";
      session_settings_ += "SESSION max_execution_time = " + std::to_string(ms);
    }
    command(session_settings_);
    const auto mode = query("SELECT @@SESSION.sql_mode");
    backslash_escapes_ =
        mode.empty() || mode[0][0].find("NO_BACKSLASH_ESCAPES") == std::string::npos;
    ansi_quotes_ = !mode.empty() && mode[0][0].find("ANSI_QUOTES") != std::string::npos;
  }

  std::string literal(std::string_view text) {
    std::string out(text.size() * 2 + 3, '\0');
    out[0] = '\'';
    const unsigned long n = mysql_real_escape_string(conn_.get(), out.data() + 1, text.data(),
                                                     static_cast<unsigned long>(text.size()));
    out.resize(n + 1);
    out += '\'';
    return out;
  }

  [[noreturn]] void fail() {
    const unsigned code = mysql_errno(conn_.get());
    const std::string message = scrub(mysql_error(conn_.get()), uri_.password);
    const std::string state = mysql_sqlstate(conn_.get());
    if (code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST || code == CR_CONNECTION_ERROR ||
        code == CR_CONN_HOST_ERROR) {
      throw ConnectionLost("Lost the connection to MySQL: " + message, "08S01", true);
    }
    if (code == kMariaDbStatementTimeout || code == kMysqlStatementTimeout) {
      throw DatabaseError(message, state, true);
    }
    throw DatabaseError(message, state);
  }

  void command(const std::string& sql) {
    if (mysql_real_query(conn_.get(), sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
      fail();
    }
    Result discard(mysql_store_result(conn_.get()));
  }

  // After every statement: COM_RESET_CONNECTION rolls back and drops what the session
  // holds (named locks, user variables, LAST_INSERT_ID, prepared statements, temporary
  // tables). A connection that cannot be reset is closed, and the facade opens a new one.
  void reset() noexcept {
    if (conn_ && mysql_reset_connection(conn_.get()) != 0) conn_.reset();
  }

  // KILL QUERY or KILL CONNECTION of a statement that outlived its time-out, from a
  // connection of its own: an account may end its own connections. Best effort.
  void kill(const char* what, unsigned long id) const noexcept {
    Conn admin(mysql_init(nullptr));
    if (!admin || !open(admin.get())) return;
    const std::string sql = what + std::to_string(id);
    if (mysql_real_query(admin.get(), sql.data(), static_cast<unsigned long>(sql.size())) == 0) {
      Result discard(mysql_store_result(admin.get()));
    }
  }

  std::vector<std::vector<std::string>> query(const std::string& sql) {
    if (mysql_real_query(conn_.get(), sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
      fail();
    }
    Result result(mysql_store_result(conn_.get()));
    std::vector<std::vector<std::string>> rows;
    if (!result) {
      if (mysql_field_count(conn_.get()) != 0) fail();
      return rows;
    }
    const unsigned n = mysql_num_fields(result.get());
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
      const unsigned long* lengths = mysql_fetch_lengths(result.get());
      std::vector<std::string> cells;
      for (unsigned i = 0; i < n; ++i) {
        cells.emplace_back(row[i] != nullptr ? std::string(row[i], lengths[i]) : std::string());
      }
      rows.push_back(std::move(cells));
    }
    return rows;
  }

  // Rows are read as they arrive (mysql_use_result), so a large result is never held whole.
  void stream(std::string_view sql, RowSink& sink) {
    if (mysql_real_query(conn_.get(), sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
      fail();
    }
    Result result(mysql_use_result(conn_.get()));
    if (!result) {
      if (mysql_field_count(conn_.get()) != 0) fail();
      return;  // no result set
    }
    const unsigned n = mysql_num_fields(result.get());
    const MYSQL_FIELD* fields = mysql_fetch_fields(result.get());
    std::vector<std::string> labels;
    for (unsigned i = 0; i < n; ++i) labels.emplace_back(fields[i].name, fields[i].name_length);
    sink.columns(labels);
    Row row(n);
    while (MYSQL_ROW raw = mysql_fetch_row(result.get())) {
      const unsigned long* lengths = mysql_fetch_lengths(result.get());
      for (unsigned i = 0; i < n; ++i) row[i] = convert(fields[i], raw[i], lengths[i]);
      if (!sink.row(row)) return;  // freeing the result reads and drops the rest
    }
    if (mysql_errno(conn_.get()) != 0) fail();
  }

  ConnectionUri uri_;
  Options options_;
  Conn conn_;
  bool backslash_escapes_ = true;
  bool ansi_quotes_ = false;
  std::string session_settings_;  // the SET run before each statement
};

}  // namespace

std::unique_ptr<Backend> open_mysql(const ConnectionUri& uri, const Options& options) {
  return std::make_unique<MysqlBackend>(uri, options);
}

}  // namespace norvex::sql::detail

// PostgreSQL through libpq: each statement in its own READ ONLY transaction with a local
// statement_timeout, rows streamed in single-row mode, then rolled back and the session reset
// (whatever the statement left: advisory locks, prepared statements, settings, cursors).
#include <libpq-fe.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>

#include "backend.hpp"
#include "convert.hpp"
#include "handle.hpp"
#include "pg_type_oids.hpp"

namespace norvex::sql::detail {
namespace {

using Conn = Handle<PGconn, PQfinish>;
using Result = Handle<PGresult, PQclear>;

const std::string kDialect = "postgresql";

constexpr char kSeparator = '\x1f';  // between the column names of one key

// libpq keeps its input buffer at the size of the largest row it has read, for the life of
// the connection: a connection that read a value larger than this is closed after the
// statement rather than kept idle in the pool with that memory.
constexpr int kLargestKeptValue = 16 * 1024 * 1024;

using namespace base::detail;  // the pg_type OIDs (kPgBool, ...)

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

Value convert(Oid type, std::string_view text) {
  switch (type) {
    case kPgBool:
      return Value::of_bool(text == "t");
    case kPgInt2:
    case kPgInt4:
    case kPgInt8:
    case kPgOid:
      return integer_value(text);
    case kPgFloat4:
    case kPgFloat8:
      return real_value(text);
    case kPgNumeric:
      return Value::of(Value::Kind::decimal, std::string(text));
    case kPgDate:
      return Value::of(Value::Kind::date, std::string(text));
    case kPgTime:
      return Value::of(Value::Kind::time, std::string(text));
    case kPgTimestamp:
    case kPgTimestampTz:
      return Value::of(Value::Kind::timestamp, std::string(text));
    case kPgBytea: {
      std::string bytes;
      if (text.size() >= 2 && text[0] == '\\' && text[1] == 'x') {
        bytes.reserve((text.size() - 2) / 2);
        for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
          bytes += static_cast<char>(hex(text[i]) * 16 + hex(text[i + 1]));
        }
      }
      return Value::of(Value::Kind::bytes, std::move(bytes));
    }
    default:
      return Value::of(Value::Kind::text, std::string(text));
  }
}

// '{"a","b"}': a text[] literal for a bound parameter.
std::string text_array(const std::vector<std::string>& items) {
  std::string out = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ',';
    out += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  out += '}';
  return out;
}

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = text.find(kSeparator, pos);
    parts.emplace_back(text.substr(pos, end == std::string_view::npos ? end : end - pos));
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  return parts;
}

// The server's message without its "ERROR:  " prefix and trailing newline.
std::string message_of(const PGresult* result, PGconn* conn) {
  std::string text = result != nullptr ? PQresultErrorMessage(result) : "";
  if (text.empty()) text = PQerrorMessage(conn);
  for (const char* prefix : {"ERROR:  ", "FATAL:  "}) {
    if (text.rfind(prefix, 0) == 0) text.erase(0, std::char_traits<char>::length(prefix));
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

class PostgresBackend final : public Backend {
 public:
  PostgresBackend(const ConnectionUri& uri, const Options& options) : uri_(uri), options_(options) {
    connect();
  }

  const std::string& dialect() const noexcept override { return kDialect; }

  SqlLexicon lexicon() const override { return lexicon_for_dialect(kDialect); }

  std::string quote(std::string_view identifier) const override {
    return quote_with(identifier, '"', '"');
  }

  void execute(std::string_view sql, RowSink& sink) override {
    const auto started = Watchdog::Clock::now();
    const std::string begin =
        "BEGIN READ ONLY; SET LOCAL statement_timeout = " +
        std::to_string(std::max<long long>(1, options_.statement_timeout.count()));
    command(begin.c_str());  // lost here, nothing was run: the facade may try again
    const int pid = PQbackendPID(conn_.get());
    const int socket = PQsocket(conn_.get());
    const Handle<PGcancel, PQfreeCancel> cancel(PQgetCancel(conn_.get()));
    run_watched(
        started, options_, [&] { stream(std::string(sql), sink); },
        [&] {
          char buffer[256];
          if (cancel) PQcancel(cancel.get(), buffer, sizeof buffer);
        },
        [&] {
          ::shutdown(socket, SHUT_RDWR);
          terminate(pid);
        },
        [&] { conn_.reset(); },
        [&] {
          roll_back_and_reset();
          // A connection that read a huge value keeps its buffers: close it instead.
          if (largest_value_ > kLargestKeptValue) conn_.reset();
        });
  }

  std::vector<std::string> table_names() override {
    std::vector<std::string> names;
    const Result r = query(
        "SELECT c.relname FROM pg_catalog.pg_class c "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'v', 'm', 'p', 'f') "
        "AND has_table_privilege(c.oid, 'SELECT')",
        {});
    for (int i = 0; i < PQntuples(r.get()); ++i) names.emplace_back(PQgetvalue(r.get(), i, 0));
    return names;
  }

  std::vector<TableSchema> describe(const std::vector<std::string>& names) override {
    std::vector<TableSchema> tables;
    const std::string list = text_array(names);
    const Result columns = query(
        "SELECT c.relname, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), "
        "a.attnotnull FROM pg_catalog.pg_attribute a "
        "JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = current_schema() AND c.relname = ANY($1::text[]) "
        "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY c.relname, a.attnum",
        {list});
    for (int i = 0; i < PQntuples(columns.get()); ++i) {
      const std::string table = PQgetvalue(columns.get(), i, 0);
      if (tables.empty() || tables.back().name != table) tables.push_back({table, {}, {}});
      tables.back().columns.push_back({PQgetvalue(columns.get(), i, 1),
                                       PQgetvalue(columns.get(), i, 2),
                                       std::string_view(PQgetvalue(columns.get(), i, 3)) == "t"});
    }
    const Result keys = query(
        "SELECT c.relname, con.contype, "
        "array_to_string(ARRAY(SELECT a.attname FROM unnest(con.conkey) WITH ORDINALITY "
        "AS k(num, ord) JOIN pg_catalog.pg_attribute a ON a.attrelid = con.conrelid "
        "AND a.attnum = k.num ORDER BY k.ord), chr(31)), "
        "rc.relname, "
        "array_to_string(ARRAY(SELECT a.attname FROM unnest(con.confkey) WITH ORDINALITY "
        "AS k(num, ord) JOIN pg_catalog.pg_attribute a ON a.attrelid = con.confrelid "
        "AND a.attnum = k.num ORDER BY k.ord), chr(31)) "
        "FROM pg_catalog.pg_constraint con "
        "JOIN pg_catalog.pg_class c ON c.oid = con.conrelid "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_catalog.pg_class rc ON rc.oid = con.confrelid "
        "WHERE n.nspname = current_schema() AND c.relname = ANY($1::text[]) "
        "AND con.contype IN ('p', 'f') ORDER BY c.relname, con.contype DESC, con.conname",
        {list});
    for (int i = 0; i < PQntuples(keys.get()); ++i) {
      const std::string table = PQgetvalue(keys.get(), i, 0);
      auto found = std::find_if(tables.begin(), tables.end(),
                                [&](const TableSchema& s) { return s.name == table; });
      if (found == tables.end()) continue;
      KeyInfo key;
      key.primary = std::string_view(PQgetvalue(keys.get(), i, 1)) == "p";
      key.columns = split(PQgetvalue(keys.get(), i, 2));
      key.ref_table = PQgetvalue(keys.get(), i, 3);
      key.ref_columns = split(PQgetvalue(keys.get(), i, 4));
      found->keys.push_back(std::move(key));
    }
    return tables;
  }

  void sample(std::string_view table, int rows, RowSink& sink) override {
    execute("SELECT * FROM " + quote(table) + " LIMIT " + std::to_string(rows), sink);
  }

  bool healthy() const noexcept override {
    return conn_ && PQstatus(conn_.get()) == CONNECTION_OK &&
           idle_socket_healthy(PQsocket(conn_.get()));
  }

  void reconnect() override {
    conn_.reset();
    connect();
  }

 private:
  void connect() { conn_ = open_connection(true); }

  // A new connection with the facade's credentials; `session` adds the session settings.
  Conn open_connection(bool session) const {
    const std::string port = uri_.port ? std::to_string(*uri_.port) : std::string();
    const std::string timeout =
        std::to_string(std::max<long long>(2, (options_.connect_timeout.count() + 999) / 1000));
    std::vector<const char*> keys, values;
    auto add = [&](const char* key, const std::string& value) {
      if (value.empty()) return;
      keys.push_back(key);
      values.push_back(value.c_str());
    };
    add("host", uri_.host);
    add("port", port);
    add("dbname", uri_.database);
    add("user", uri_.user);
    add("password", uri_.password);
    add("connect_timeout", timeout);
    static const std::string kEncoding = "UTF8";
    static const std::string kApplication = "norvex";
    // The session-wide time-out backs up the per-statement one for catalogue queries. The
    // statement guard reads '...' without backslash escapes, as these settings make sure.
    const std::string session_options =
        "-c DateStyle=ISO,MDY -c IntervalStyle=postgres -c standard_conforming_strings=on "
        "-c statement_timeout=" +
        std::to_string(std::max<long long>(1, options_.statement_timeout.count()));
    add("client_encoding", kEncoding);
    add("application_name", kApplication);
    if (session) add("options", session_options);
    keys.push_back(nullptr);
    values.push_back(nullptr);
    Conn conn(PQconnectdbParams(keys.data(), values.data(), 0));
    if (!conn) throw DatabaseError("Cannot connect to PostgreSQL: out of memory");
    if (PQstatus(conn.get()) != CONNECTION_OK) {
      throw DatabaseError(
          "Cannot connect to PostgreSQL: " + scrub(message_of(nullptr, conn.get()), uri_.password),
          "08001", true);
    }
    return conn;
  }

  // Ends a backend that outlived its time-out, from a connection of its own: a role may end
  // its own backends. Best effort: the facade has already given the connection up.
  void terminate(int pid) const noexcept {
    try {
      const Conn admin = open_connection(false);
      const std::string sql = "SELECT pg_terminate_backend(" + std::to_string(pid) + ")";
      const Result r(PQexec(admin.get(), sql.c_str()));
    } catch (...) {
    }
  }

  // After every statement: nothing it did may outlive it on a pooled connection (advisory
  // locks, prepared statements, settings, cursors, listeners). DISCARD ALL may not run in a
  // transaction, so it follows the ROLLBACK (a round trip of its own costs less than what
  // it does spelled out after the ROLLBACK in one text). A connection that cannot be reset
  // is closed, and the facade opens a new one.
  void roll_back_and_reset() noexcept {
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      conn_.reset();
      return;
    }
    const Result rolled_back(PQexec(conn_.get(), "ROLLBACK"));
    const Result reset(PQexec(conn_.get(), "DISCARD ALL"));
    if (PQresultStatus(reset.get()) != PGRES_COMMAND_OK) conn_.reset();
  }

  [[noreturn]] void fail(const PGresult* result) {
    const std::string message = scrub(message_of(result, conn_.get()), uri_.password);
    if (PQstatus(conn_.get()) == CONNECTION_BAD) {
      throw ConnectionLost("Lost the connection to PostgreSQL: " + message, "08006", true);
    }
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string sqlstate = state != nullptr ? state : "";
    throw DatabaseError(message, sqlstate, sqlstate == "57014");
  }

  void command(const char* sql) {
    const Result r(PQexec(conn_.get(), sql));
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) fail(r.get());
  }

  Result query(const char* sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    Result r(PQexecParams(conn_.get(), sql, static_cast<int>(values.size()), nullptr, values.data(),
                          nullptr, nullptr, 0));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) fail(r.get());
    return r;
  }

  // Extended protocol: one statement only, even if the guard were bypassed.
  void stream(const std::string& sql, RowSink& sink) {
    largest_value_ = 0;
    if (PQsendQueryParams(conn_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) ==
        0) {
      fail(nullptr);
    }
    PQsetSingleRowMode(conn_.get());
    bool announced = false, stopped = false;
    std::vector<std::string> labels;
    std::vector<Oid> types;
    Row row;
    Result error;
    for (;;) {
      Result r(PQgetResult(conn_.get()));
      if (!r) break;
      const ExecStatusType status = PQresultStatus(r.get());
      if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
        if (!announced) {
          const int n = PQnfields(r.get());
          for (int i = 0; i < n; ++i) {
            labels.emplace_back(PQfname(r.get(), i));
            types.push_back(PQftype(r.get(), i));
          }
          row.resize(static_cast<std::size_t>(n));
          sink.columns(labels);
          announced = true;
        }
        if (stopped) continue;
        for (int t = 0; t < PQntuples(r.get()); ++t) {
          for (std::size_t i = 0; i < row.size(); ++i) {
            const int col = static_cast<int>(i);
            const int length = PQgetlength(r.get(), t, col);
            largest_value_ = std::max(largest_value_, length);
            row[i] = PQgetisnull(r.get(), t, col) != 0
                         ? Value::null_value()
                         : convert(types[i], shown_part(types[i], PQgetvalue(r.get(), t, col),
                                                        static_cast<std::size_t>(length)));
          }
          if (!sink.row(row)) {
            // Enough rows: ask the server to stop sending the rest.
            stopped = true;
            if (PGcancel* cancel = PQgetCancel(conn_.get())) {
              char buffer[256];
              PQcancel(cancel, buffer, sizeof buffer);
              PQfreeCancel(cancel);
            }
            break;
          }
        }
      } else if (status != PGRES_COMMAND_OK && status != PGRES_EMPTY_QUERY) {
        if (!error && !stopped) error = std::move(r);
      }
    }
    if (error) fail(error.get());
    if (PQstatus(conn_.get()) == CONNECTION_BAD) fail(nullptr);
  }

  // A value longer than the whole answer may be is copied only up to a little past that
  // bound (for bytea, whose text is hex, twice that): the row is left out of the answer
  // either way, and a 200 MB value is not copied once more to be dropped.
  // Other types are read whole, as convert() parses them.
  std::string_view shown_part(Oid type, const char* data, std::size_t length) const {
    switch (type) {
      case kPgBool:
      case kPgInt2:
      case kPgInt4:
      case kPgInt8:
      case kPgOid:
      case kPgFloat4:
      case kPgFloat8:
      case kPgNumeric:
      case kPgDate:
      case kPgTime:
      case kPgTimestamp:
      case kPgTimestampTz:
        return {data, length};
      default:
        break;
    }
    if (options_.max_bytes == 0) return {data, length};
    const std::size_t keep =
        type == kPgBytea ? 2 * (options_.max_bytes + 1) + 2 : options_.max_bytes + 1;
    return {data, std::min(length, keep)};
  }

  ConnectionUri uri_;
  Options options_;
  Conn conn_;
  int largest_value_ = 0;  // in bytes, of the last statement
};

}  // namespace

std::unique_ptr<Backend> open_postgres(const ConnectionUri& uri, const Options& options) {
  return std::make_unique<PostgresBackend>(uri, options);
}

}  // namespace norvex::sql::detail

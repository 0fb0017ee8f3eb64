// ODBC: the driver manager (libodbc.so.2) is loaded at run time, never linked, so the library
// serves the other engines on machines without it. Statements run in manual-commit mode and
// are rolled back; the catalogue comes from ODBC's catalogue functions, so any driver works.
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "backend.hpp"
#include "convert.hpp"
#include "norvex/base/text.hpp"
#include "odbc_api.hpp"

namespace norvex::sql::detail {
namespace {

using base::lower;

constexpr const char* kDriverEnv = "NORVEX_ODBC_DRIVER";
constexpr std::size_t kChunk = 8192;

using base::detail::OdbcApi;

// The driver manager, bound once for the process; its failure is a connection error here.
const OdbcApi& api() {
  try {
    return base::detail::odbc_api();
  } catch (const DatabaseError& error) {
    throw DatabaseError(std::string("Cannot use ODBC: the ODBC driver manager (") +
                        base::detail::kOdbcDriverManager + ") cannot be used: " + error.what() +
                        "; install unixODBC");
  }
}

SQLCHAR* text_arg(const std::string& s) {
  return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s.c_str()));
}

// unixODBC's SQLWCHAR is UTF-16.
std::string utf16_to_utf8(const std::u16string& in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    }
    append_utf8(out, cp);
  }
  return out;
}

class Statement;

class OdbcBackend final : public Backend {
 public:
  OdbcBackend(const ConnectionUri& uri, const Options& options) : api_(api()), options_(options) {
    const char* env_driver = std::getenv(kDriverEnv);
    connection_string_ = odbc_connection_string(uri, env_driver != nullptr ? env_driver : "");
    // A raw string carries its own password; keep it out of messages too. Masking replaces
    // the value in place, so what follows the mask is the same text in both strings.
    secrets_.push_back(uri.password);
    const std::string masked = mask_odbc_string(connection_string_);
    const std::size_t at = masked.find("***");
    if (at != std::string::npos) {
      const std::size_t tail = masked.size() - (at + 3);
      if (connection_string_.size() >= at + tail) {
        secrets_.push_back(connection_string_.substr(at, connection_string_.size() - tail - at));
      }
    }
    connect();
  }

  ~OdbcBackend() override { disconnect(); }

  const std::string& dialect() const noexcept override { return dialect_; }

  SqlLexicon lexicon() const override { return lexicon_for_dialect(dialect_); }

  std::string quote(std::string_view identifier) const override {
    return dialect_ == "mssql"   ? quote_with(identifier, '[', ']')
           : dialect_ == "mysql" ? quote_with(identifier, '`', '`')
                                 : quote_with(identifier, '"', '"');
  }

  // A connection lost once the statement was handed to the driver is reported, never retried:
  // the statement may have run.
  void execute(std::string_view sql, RowSink& sink) override {
    sent_ = false;
    try {
      run(std::string(sql), sink, 0);
    } catch (const ConnectionLost& e) {
      if (!sent_) throw;
      throw DatabaseError(std::string(e.what()) + " (while the statement ran; not run again)",
                          e.sqlstate(), true);
    }
  }

  std::vector<std::string> table_names() override;
  std::vector<TableSchema> describe(const std::vector<std::string>& names) override;

  void sample(std::string_view table, int rows, RowSink& sink) override {
    run("SELECT * FROM " + quote(table), sink, rows);
  }

  void reconnect() override {
    disconnect();
    connect();
  }

 private:
  friend class Statement;

  void connect();
  void disconnect() noexcept {
    if (dbc_ != SQL_NULL_HDBC) {
      api_.EndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      api_.Disconnect(dbc_);
      api_.FreeHandle(SQL_HANDLE_DBC, dbc_);
      dbc_ = SQL_NULL_HDBC;
    }
    if (env_ != SQL_NULL_HENV) {
      api_.FreeHandle(SQL_HANDLE_ENV, env_);
      env_ = SQL_NULL_HENV;
    }
  }

  // The diagnostic records of a handle, "[SQLSTATE] message" each.
  std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle, std::string& first_state) const {
    std::string out;
    for (SQLSMALLINT i = 1;; ++i) {
      SQLCHAR state[6] = {0};
      SQLINTEGER native = 0;
      SQLCHAR message[1024] = {0};
      SQLSMALLINT length = 0;
      const SQLRETURN rc =
          api_.GetDiagRec(type, handle, i, state, &native, message, sizeof message, &length);
      if (!SQL_SUCCEEDED(rc)) break;
      if (first_state.empty()) first_state = reinterpret_cast<char*>(state);
      if (!out.empty()) out += "\n";
      out += '[';
      out += reinterpret_cast<char*>(state);
      out += "] ";
      out += reinterpret_cast<char*>(message);
    }
    for (const auto& secret : secrets_) out = scrub(std::move(out), secret);
    return out;
  }

  [[noreturn]] void fail(SQLSMALLINT type, SQLHANDLE handle, const std::string& what) const {
    std::string state;
    std::string message = diagnostics(type, handle, state);
    if (message.empty()) message = what;
    const std::string klass = state.substr(0, 2);
    if (state == "08S01" || state == "08003" || state == "08007" || klass == "57" ||
        (state == "HY000" && lower(message).find("connection") != std::string::npos &&
         (lower(message).find("closed") != std::string::npos ||
          lower(message).find("lost") != std::string::npos))) {
      if (state != "57014") {
        throw ConnectionLost("Lost the ODBC connection: " + message, state, true);
      }
    }
    if (state == "HYT00" || state == "57014") {
      throw DatabaseError("Statement timed out: " + message, state, true);
    }
    throw DatabaseError(message, state);
  }

  void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char* what) const {
    if (!SQL_SUCCEEDED(rc)) fail(type, handle, what);
  }

  void run(const std::string& sql, RowSink& sink, int max_rows);
  std::vector<std::vector<std::optional<std::string>>> fetch_text(Statement& stmt);
  std::optional<Value> read_cell(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT type);

  const OdbcApi& api_;
  Options options_;
  std::string connection_string_;
  std::vector<std::string> secrets_;
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  std::string dialect_;
  bool sent_ = false;   // the statement of the current execute() reached the driver
  std::string schema_;  // the default schema, empty when unknown (all schemas are listed)
};

// One statement handle, freed on every path.
class Statement {
 public:
  explicit Statement(OdbcBackend& owner) : owner_(owner) {
    owner_.check(owner_.api_.AllocHandle(SQL_HANDLE_STMT, owner_.dbc_, &handle_), SQL_HANDLE_DBC,
                 owner_.dbc_, "SQLAllocHandle");
  }
  ~Statement() { owner_.api_.FreeHandle(SQL_HANDLE_STMT, handle_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLHSTMT get() const { return handle_; }
  void check(SQLRETURN rc, const char* what) const {
    owner_.check(rc, SQL_HANDLE_STMT, handle_, what);
  }

 private:
  OdbcBackend& owner_;
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

// Ends the current transaction with a rollback on every path.
class RollbackAtEnd {
 public:
  RollbackAtEnd(const OdbcApi& api, SQLHDBC dbc) : api_(api), dbc_(dbc) {}
  ~RollbackAtEnd() { api_.EndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK); }
  RollbackAtEnd(const RollbackAtEnd&) = delete;
  RollbackAtEnd& operator=(const RollbackAtEnd&) = delete;

 private:
  const OdbcApi& api_;
  SQLHDBC dbc_;
};

void OdbcBackend::connect() {
  const auto env_rc = api_.AllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
  if (!SQL_SUCCEEDED(env_rc)) throw DatabaseError("Cannot connect through ODBC: no environment");
  api_.SetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  check(api_.AllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_HANDLE_ENV, env_, "SQLAllocHandle");
  const auto seconds =
      static_cast<SQLULEN>(std::max<long long>(1, (options_.connect_timeout.count() + 999) / 1000));
  api_.SetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  api_.SetConnectAttr(dbc_, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  SQLCHAR out[1024];
  SQLSMALLINT out_length = 0;
  const SQLRETURN rc = api_.DriverConnect(dbc_, nullptr, text_arg(connection_string_), SQL_NTS, out,
                                          sizeof out, &out_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    std::string state;
    const std::string message = diagnostics(SQL_HANDLE_DBC, dbc_, state);
    api_.FreeHandle(SQL_HANDLE_DBC, dbc_);
    dbc_ = SQL_NULL_HDBC;
    api_.FreeHandle(SQL_HANDLE_ENV, env_);
    env_ = SQL_NULL_HENV;
    throw DatabaseError("Cannot connect through ODBC (" + mask_odbc_string(connection_string_) +
                            "): " + (message.empty() ? "the driver gave no reason" : message),
                        state, true);
  }
  // Nothing is ever committed: every statement's transaction is rolled back.
  api_.SetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                      0);
  api_.SetConnectAttr(dbc_, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY),
                      0);
  SQLCHAR name[256] = {0};
  SQLSMALLINT name_length = 0;
  api_.GetInfo(dbc_, SQL_DBMS_NAME, name, sizeof name, &name_length);
  const std::string dbms = lower(reinterpret_cast<char*>(name));
  dialect_ = dbms.find("sql server") != std::string::npos ? "mssql" : dbms;
  if (dialect_.empty()) dialect_ = "odbc";
  // The default schema scopes the table listing, as on the other engines.
  const char* schema_query = dialect_ == "mssql"        ? "SELECT SCHEMA_NAME()"
                             : dialect_ == "postgresql" ? "SELECT current_schema()"
                             : dialect_ == "mysql"      ? "SELECT DATABASE()"
                                                        : nullptr;
  schema_.clear();
  if (schema_query != nullptr && dialect_ != "mysql") {
    RollbackAtEnd rollback(api_, dbc_);
    Statement stmt(*this);
    stmt.check(api_.ExecDirect(stmt.get(), text_arg(schema_query), SQL_NTS), "SQLExecDirect");
    const auto rows = fetch_text(stmt);
    if (!rows.empty() && !rows[0].empty() && rows[0][0]) schema_ = *rows[0][0];
  }
}

std::optional<Value> OdbcBackend::read_cell(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT type) {
  SQLSMALLINT c_type = SQL_C_CHAR;
  std::size_t terminator = 1;
  switch (type) {
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: {
      double d = 0;
      SQLLEN indicator = 0;
      const SQLRETURN rc = api_.GetData(stmt, column, SQL_C_DOUBLE, &d, sizeof d, &indicator);
      check(rc, SQL_HANDLE_STMT, stmt, "SQLGetData");
      if (indicator == SQL_NULL_DATA) return Value::null_value();
      return Value::of_real(d);
    }
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      c_type = SQL_C_BINARY;
      terminator = 0;
      break;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_GUID:
    case SQL_UNKNOWN_TYPE:
      c_type = SQL_C_WCHAR;
      terminator = sizeof(SQLWCHAR);
      break;
    default:
      break;
  }
  std::string data;
  char buffer[kChunk];
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN rc = api_.GetData(stmt, column, c_type, buffer, sizeof buffer, &indicator);
    if (rc == SQL_NO_DATA) break;
    check(rc, SQL_HANDLE_STMT, stmt, "SQLGetData");
    if (indicator == SQL_NULL_DATA) return Value::null_value();
    const std::size_t room = sizeof buffer - terminator;
    const std::size_t chunk =
        (indicator == SQL_NO_TOTAL || static_cast<std::size_t>(indicator) > room)
            ? room
            : static_cast<std::size_t>(indicator);
    data.append(buffer, chunk);
    if (rc == SQL_SUCCESS) break;
  }
  if (c_type == SQL_C_WCHAR) {
    std::u16string wide(data.size() / 2, u'\0');
    std::memcpy(wide.data(), data.data(), wide.size() * 2);
    return Value::of(Value::Kind::text, utf16_to_utf8(wide));
  }
  switch (type) {
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return Value::of(Value::Kind::bytes, std::move(data));
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return integer_value(data);
    case SQL_BIT:
      return Value::of_bool(data == "1" || data == "t" || data == "true");
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return Value::of(Value::Kind::decimal, std::move(data));
    case SQL_TYPE_DATE:
      return Value::of(Value::Kind::date, std::move(data));
    case SQL_TYPE_TIME:
      return Value::of(Value::Kind::time, std::move(data));
    case SQL_TYPE_TIMESTAMP:
      return Value::of(Value::Kind::timestamp, std::move(data));
    default:
      return Value::of(Value::Kind::text, std::move(data));
  }
}

void OdbcBackend::run(const std::string& sql, RowSink& sink, int max_rows) {
  RollbackAtEnd rollback(api_, dbc_);
  if (dialect_ == "postgresql") {
    // The engine's own read-only mode, for the transaction that this statement opens.
    Statement guard(*this);
    guard.check(api_.ExecDirect(guard.get(), text_arg("SET TRANSACTION READ ONLY"), SQL_NTS),
                "SQLExecDirect");
  }
  Statement stmt(*this);
  const auto seconds = static_cast<SQLULEN>(
      std::max<long long>(1, (options_.statement_timeout.count() + 999) / 1000));
  api_.SetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0);
  if (max_rows > 0) {
    api_.SetStmtAttr(stmt.get(), SQL_ATTR_MAX_ROWS,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(max_rows)), 0);
  }
  sent_ = true;
  const SQLRETURN rc = api_.ExecDirect(stmt.get(), text_arg(sql), SQL_NTS);
  if (rc == SQL_NO_DATA) return;
  stmt.check(rc, "SQLExecDirect");
  SQLSMALLINT count = 0;
  stmt.check(api_.NumResultCols(stmt.get(), &count), "SQLNumResultCols");
  if (count <= 0) return;
  std::vector<std::string> labels;
  std::vector<SQLSMALLINT> types;
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    SQLCHAR name[512] = {0};
    SQLSMALLINT name_length = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    stmt.check(api_.DescribeCol(stmt.get(), i, name, sizeof name, &name_length, &type, &size,
                                &digits, &nullable),
               "SQLDescribeCol");
    labels.emplace_back(reinterpret_cast<char*>(name));
    types.push_back(type);
  }
  sink.columns(labels);
  Row row(static_cast<std::size_t>(count));
  int seen = 0;
  for (;;) {
    const SQLRETURN fetched = api_.Fetch(stmt.get());
    if (fetched == SQL_NO_DATA) break;
    stmt.check(fetched, "SQLFetch");
    for (SQLUSMALLINT i = 0; i < static_cast<SQLUSMALLINT>(count); ++i) {
      row[i] = *read_cell(stmt.get(), static_cast<SQLUSMALLINT>(i + 1), types[i]);
    }
    if (!sink.row(row)) {
      api_.Cancel(stmt.get());
      break;
    }
    if (max_rows > 0 && ++seen >= max_rows) break;  // for drivers that ignore the attribute
  }
}

std::vector<std::vector<std::optional<std::string>>> OdbcBackend::fetch_text(Statement& stmt) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  SQLSMALLINT count = 0;
  stmt.check(api_.NumResultCols(stmt.get(), &count), "SQLNumResultCols");
  for (;;) {
    const SQLRETURN fetched = api_.Fetch(stmt.get());
    if (fetched == SQL_NO_DATA) break;
    stmt.check(fetched, "SQLFetch");
    std::vector<std::optional<std::string>> row;
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
      const Value v = *read_cell(stmt.get(), i, SQL_WVARCHAR);
      row.push_back(v.kind == Value::Kind::null ? std::nullopt : std::optional(v.text));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::string> OdbcBackend::table_names() {
  RollbackAtEnd rollback(api_, dbc_);
  Statement stmt(*this);
  const std::string types = "TABLE,VIEW";
  stmt.check(api_.Tables(stmt.get(), nullptr, 0, schema_.empty() ? nullptr : text_arg(schema_),
                         schema_.empty() ? 0 : SQL_NTS, nullptr, 0, text_arg(types), SQL_NTS),
             "SQLTables");
  std::vector<std::string> names;
  for (auto& row : fetch_text(stmt)) {
    if (row.size() > 2 && row[2]) names.push_back(std::move(*row[2]));
  }
  return names;
}

std::vector<TableSchema> OdbcBackend::describe(const std::vector<std::string>& names) {
  RollbackAtEnd rollback(api_, dbc_);
  std::vector<TableSchema> tables;
  SQLCHAR* schema = schema_.empty() ? nullptr : text_arg(schema_);
  const SQLSMALLINT schema_length = schema_.empty() ? 0 : SQL_NTS;
  {
    // One catalogue call for the columns of every table of the schema.
    Statement stmt(*this);
    stmt.check(api_.Columns(stmt.get(), nullptr, 0, schema, schema_length, nullptr, 0, nullptr, 0),
               "SQLColumns");
    for (auto& row : fetch_text(stmt)) {
      if (row.size() < 11 || !row[2] || !row[3]) continue;
      const std::string& table = *row[2];
      if (std::find(names.begin(), names.end(), table) == names.end()) continue;
      auto found = std::find_if(tables.begin(), tables.end(),
                                [&](const TableSchema& s) { return s.name == table; });
      if (found == tables.end()) {
        tables.push_back({table, {}, {}});
        found = tables.end() - 1;
      }
      std::string type = row[5].value_or("");
      std::transform(type.begin(), type.end(), type.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      const std::string data_type = row[4].value_or("");
      const int code = data_type.empty() ? 0 : std::atoi(data_type.c_str());
      if ((code == SQL_CHAR || code == SQL_VARCHAR || code == SQL_WCHAR || code == SQL_WVARCHAR) &&
          row[6]) {
        type += "(" + *row[6] + ")";
      } else if ((code == SQL_DECIMAL || code == SQL_NUMERIC) && row[6]) {
        type += "(" + *row[6] + (row[8] ? ", " + *row[8] : std::string()) + ")";
      }
      found->columns.push_back({*row[3], type, row[10].value_or("1") == "0"});
    }
  }
  // ODBC has no catalogue call for the keys of many tables at once: one pair per table.
  for (auto& table : tables) {
    {
      Statement stmt(*this);
      stmt.check(api_.PrimaryKeys(stmt.get(), nullptr, 0, schema, schema_length,
                                  text_arg(table.name), SQL_NTS),
                 "SQLPrimaryKeys");
      std::vector<std::pair<int, std::string>> columns;
      for (auto& row : fetch_text(stmt)) {
        if (row.size() > 4 && row[3])
          columns.emplace_back(std::atoi(row[4].value_or("0").c_str()), *row[3]);
      }
      std::sort(columns.begin(), columns.end());
      if (!columns.empty()) {
        KeyInfo key;
        key.primary = true;
        for (auto& [seq, name] : columns) key.columns.push_back(name);
        table.keys.push_back(std::move(key));
      }
    }
    Statement stmt(*this);
    stmt.check(api_.ForeignKeys(stmt.get(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, schema,
                                schema_length, text_arg(table.name), SQL_NTS),
               "SQLForeignKeys");
    for (auto& row : fetch_text(stmt)) {
      if (row.size() < 9 || !row[2] || !row[3] || !row[7]) continue;
      const int seq = std::atoi(row[8].value_or("1").c_str());
      if (seq <= 1 || table.keys.empty() || table.keys.back().primary) {
        KeyInfo key;
        key.ref_table = *row[2];
        table.keys.push_back(std::move(key));
      }
      table.keys.back().columns.push_back(*row[7]);
      table.keys.back().ref_columns.push_back(*row[3]);
    }
  }
  return tables;
}

}  // namespace

std::unique_ptr<Backend> open_odbc(const ConnectionUri& uri, const Options& options) {
  return std::make_unique<OdbcBackend>(uri, options);
}

}  // namespace norvex::sql::detail

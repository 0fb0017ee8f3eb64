// SQLite: the file is opened read-only, and an authorizer lets generated statements only read.
// A progress handler stops a statement at its time-out or when it has taken too much memory,
// and no value may grow beyond kMaxValueBytes, so that no single step runs for long.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "backend.hpp"
#include "handle.hpp"

namespace norvex::sql::detail {
namespace {

using Clock = std::chrono::steady_clock;
using Db = Handle<sqlite3, sqlite3_close_v2>;
using Stmt = Handle<sqlite3_stmt, sqlite3_finalize>;

const std::string kDialect = "sqlite";

// The largest text or blob a statement may build or read (SQLite's own default is 1 GB).
constexpr int kMaxValueBytes = 64 * 1024 * 1024;
// The memory a generated statement may take beyond what SQLite held when it began.
constexpr sqlite3_int64 kMaxStatementMemory = 512LL * 1024 * 1024;
// The whole process's SQLite heap. The columns of one row are computed with no check in
// between, so a statement of many large terms could take the machine's memory before the
// progress handler runs; past this it fails with "out of memory". Applied at the first
// connection unless the application set a limit of its own (it is process-wide).
constexpr sqlite3_int64 kProcessHeapLimit = 1LL << 30;
// Virtual-machine steps between two checks of the clock and the memory.
constexpr int kProgressSteps = 1000;
// The widest width or precision printf() and format() accept.
constexpr long long kMaxFormatWidth = 1000000;

// Whether a printf() format asks for a width or precision beyond kMaxFormatWidth, written in
// the format or given as a "*" argument. SQLite's own printf() writes "%.*c" one character
// at a time, in one step of its machine that nothing interrupts: 900,000,000 take seconds,
// even when the result is then dropped for being too long.
bool oversized_format(std::string_view f, int argc, sqlite3_value** argv) {
  int arg = 1;
  std::size_t i = 0;
  const auto field = [&]() {  // a width or a precision at f[i]
    if (i < f.size() && f[i] == '*') {
      ++i;
      const bool wide = arg < argc && std::llabs(sqlite3_value_int64(argv[arg])) > kMaxFormatWidth;
      ++arg;
      return wide;
    }
    long long n = 0;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
      n = n * 10 + (f[i++] - '0');
      if (n > kMaxFormatWidth) return true;
    }
    return false;
  };
  while (i < f.size()) {
    if (f[i++] != '%') continue;
    if (i < f.size() && f[i] == '%') {
      ++i;
      continue;
    }
    while (i < f.size() && std::strchr("-+ #0!,", f[i]) != nullptr) ++i;
    if (field()) return true;
    if (i < f.size() && f[i] == '.') {
      ++i;
      if (field()) return true;
    }
    while (i < f.size() && f[i] == 'l') ++i;
    if (i < f.size()) {
      ++i;
      ++arg;  // the conversion takes one argument
    }
  }
  return false;
}

// SQLite's own text searches compare the pattern at every position of the text, within one
// step of its machine that neither the progress handler nor an interrupt stops: trim() of
// 200,000 characters by a set of 100,000 takes a minute, and instr(), replace(), LIKE and
// GLOB grow the same way. The bytes of the text times those of the pattern stay below this
// (about a second at worst).
constexpr double kMaxSearchWork = 3e8;

// Whether the first two arguments are too long for each other, as above. Numbers are not
// converted here (that would change their type for the call).
const char* oversized_search(int argc, sqlite3_value** argv) {
  if (argc < 2) return nullptr;
  const auto bytes = [](sqlite3_value* v) {
    const int type = sqlite3_value_type(v);
    return type == SQLITE_TEXT || type == SQLITE_BLOB ? sqlite3_value_bytes(v) : 32;
  };
  const double work = static_cast<double>(bytes(argv[0])) * bytes(argv[1]);
  return work > kMaxSearchWork ? "arguments too long for each other" : nullptr;
}

const char* oversized_printf(int argc, sqlite3_value** argv) {
  if (argc == 0) return nullptr;
  const auto* format = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  return format != nullptr && oversized_format(format, argc, argv) ? "width or precision too large"
                                                                   : nullptr;
}

// One of SQLite's own functions behind a check of its arguments: the call is made by the
// function itself on a private connection (which has SQLite's own functions), through a
// statement prepared once per number of arguments.
struct CheckedBuiltin {
  sqlite3* helper;
  std::string name;
  const char* (*check)(int argc, sqlite3_value** argv);
  std::vector<Handle<sqlite3_stmt, sqlite3_finalize>> by_argc;

  sqlite3_stmt* statement(int argc) {
    const auto n = static_cast<std::size_t>(argc);
    if (by_argc.size() <= n) by_argc.resize(n + 1);
    if (!by_argc[n]) {
      std::string sql = "SELECT " + name + "(";
      for (int i = 1; i <= argc; ++i) sql += (i == 1 ? "?" : ", ?") + std::to_string(i);
      sql += ")";
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v2(helper, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) return nullptr;
      by_argc[n].reset(raw);
    }
    return by_argc[n].get();
  }

  static void call(sqlite3_context* context, int argc, sqlite3_value** argv) {
    auto* self = static_cast<CheckedBuiltin*>(sqlite3_user_data(context));
    if (const char* why = self->check(argc, argv)) {
      const std::string message = self->name + "(): " + why;
      return sqlite3_result_error(context, message.c_str(), -1);
    }
    sqlite3_stmt* stmt = self->statement(argc);
    if (stmt == nullptr) return sqlite3_result_error(context, sqlite3_errmsg(self->helper), -1);
    for (int i = 0; i < argc; ++i) sqlite3_bind_value(stmt, i + 1, argv[i]);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      sqlite3_result_value(context, sqlite3_column_value(stmt, 0));
    } else {
      sqlite3_result_error(context, sqlite3_errmsg(self->helper), -1);
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }

  static void destroy(void* self) { delete static_cast<CheckedBuiltin*>(self); }
};

// Functions that read or write files, load code, or change the engine.
bool forbidden_function(const char* name) {
  if (name == nullptr) return false;
  for (const char* f : {"load_extension", "readfile", "writefile", "edit", "fts3_tokenizer"}) {
    if (sqlite3_stricmp(name, f) == 0) return true;
  }
  return false;
}

std::string literal(std::string_view text) {
  return quote_with(text, '\'', '\'');
}

std::string in_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += ", ";
    out += literal(names[i]);
  }
  return out;
}

class SqliteBackend final : public Backend {
 public:
  SqliteBackend(const ConnectionUri& uri, const Options& options)
      : path_(uri.database), options_(options) {
    open();
  }

  const std::string& dialect() const noexcept override { return kDialect; }

  SqlLexicon lexicon() const override { return lexicon_for_dialect(kDialect); }

  std::string quote(std::string_view identifier) const override {
    return quote_with(identifier, '"', '"');
  }

  void execute(std::string_view sql, RowSink& sink) override {
    run_internal("BEGIN");
    try {
      query(sql, sink, false);
    } catch (...) {
      rollback();
      throw;
    }
    rollback();
  }

  std::vector<std::string> table_names() override {
    CollectSink sink;
    query(
        "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') "
        "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'",
        sink, true);
    std::vector<std::string> names;
    for (auto& row : sink.rows) names.push_back(std::move(row[0].text));
    return names;
  }

  std::vector<TableSchema> describe(const std::vector<std::string>& names) override {
    std::vector<TableSchema> tables;
    if (names.empty()) return tables;
    const std::string list = in_list(names);
    CollectSink columns;
    query(
        "SELECT m.name, p.name, p.type, p.\"notnull\", p.pk FROM sqlite_master AS m "
        "JOIN pragma_table_info(m.name) AS p WHERE m.name IN (" +
            list + ") ORDER BY m.name, p.cid",
        columns, true);
    std::vector<std::vector<std::pair<std::int64_t, std::string>>> primary;  // per table
    for (auto& row : columns.rows) {
      if (tables.empty() || tables.back().name != row[0].text) {
        tables.push_back({row[0].text, {}, {}});
        primary.emplace_back();
      }
      tables.back().columns.push_back({row[1].text, row[2].text, row[3].integer != 0});
      if (row[4].integer > 0) primary.back().emplace_back(row[4].integer, row[1].text);
    }
    for (std::size_t t = 0; t < tables.size(); ++t) {
      if (primary[t].empty()) continue;
      std::sort(primary[t].begin(), primary[t].end());
      KeyInfo key;
      key.primary = true;
      for (auto& [position, name] : primary[t]) key.columns.push_back(name);
      tables[t].keys.push_back(std::move(key));
    }
    // "-- " lines that open a table's definition are its notes (tables made of data files
    // carry them so).
    CollectSink definitions;
    query("SELECT name, sql FROM sqlite_master WHERE name IN (" + list + ")", definitions, true);
    for (auto& row : definitions.rows) {
      auto table = std::find_if(tables.begin(), tables.end(),
                                [&](const TableSchema& t) { return t.name == row[0].text; });
      if (table == tables.end()) continue;
      const std::string& sql = row[1].text;
      std::size_t at = sql.find('(');
      if (at == std::string::npos) continue;
      at = sql.find('\n', at);
      while (at != std::string::npos) {
        const std::size_t start = sql.find_first_not_of(" \t", at + 1);
        if (start == std::string::npos || sql.compare(start, 2, "--") != 0) break;
        const std::size_t end = sql.find('\n', start);
        std::string line = sql.substr(start + 2, end == std::string::npos ? end : end - start - 2);
        if (!line.empty() && line.front() == ' ') line.erase(0, 1);
        if (!table->comment.empty()) table->comment += '\n';
        table->comment += line;
        at = end;
      }
    }
    CollectSink foreign;
    query(
        "SELECT m.name, f.id, f.\"table\", f.\"from\", f.\"to\" FROM sqlite_master AS m "
        "JOIN pragma_foreign_key_list(m.name) AS f WHERE m.name IN (" +
            list + ") ORDER BY m.name, f.id, f.seq",
        foreign, true);
    std::string current_table;
    std::int64_t current_id = -1;
    for (auto& row : foreign.rows) {
      auto table = std::find_if(tables.begin(), tables.end(),
                                [&](const TableSchema& s) { return s.name == row[0].text; });
      if (table == tables.end()) continue;
      if (row[0].text != current_table || row[1].integer != current_id) {
        current_table = row[0].text;
        current_id = row[1].integer;
        KeyInfo key;
        key.ref_table = row[2].text;
        table->keys.push_back(std::move(key));
      }
      KeyInfo& key = table->keys.back();
      key.columns.push_back(row[3].text);
      if (row[4].kind != Value::Kind::null) key.ref_columns.push_back(row[4].text);
    }
    return tables;
  }

  void sample(std::string_view table, int rows, RowSink& sink) override {
    query("SELECT * FROM " + quote(table) + " LIMIT " + std::to_string(rows), sink, true);
  }

  void reconnect() override {
    db_.reset();
    open();
  }

 private:
  struct CollectSink : RowSink {
    void columns(const std::vector<std::string>&) override {}
    bool row(const Row& row) override {
      rows.push_back(row);
      return true;
    }
    std::vector<Row> rows;
  };

  void open() {
    sqlite3* raw = nullptr;
    const bool memory = path_ == ":memory:";
    const int flags = memory ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
      const std::string why = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
      throw DatabaseError("Cannot open SQLite database \"" + path_ + "\": " + why);
    }
    db_ = std::move(db);
    static std::once_flag heap_limited;
    std::call_once(heap_limited, [] {
      if (sqlite3_hard_heap_limit64(-1) == 0) sqlite3_hard_heap_limit64(kProcessHeapLimit);
    });
    sqlite3_extended_result_codes(db_.get(), 1);
    // Belt and braces on top of the read-only file: no writes even to :memory:.
    run_internal("PRAGMA query_only = 1");
    sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_set_authorizer(db_.get(), &SqliteBackend::authorize, this);
    sqlite3_progress_handler(db_.get(), kProgressSteps, &SqliteBackend::progress, this);
    sqlite3_limit(db_.get(), SQLITE_LIMIT_LENGTH, kMaxValueBytes);
    if (!formatter_) {
      sqlite3* helper = nullptr;
      const int opened =
          sqlite3_open_v2(":memory:", &helper, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr);
      formatter_.reset(helper);
      if (opened != SQLITE_OK) throw DatabaseError("Cannot open SQLite: out of memory");
      sqlite3_limit(formatter_.get(), SQLITE_LIMIT_LENGTH, kMaxValueBytes);
    }
    const struct {
      const char* name;
      const char* (*check)(int, sqlite3_value**);
    } checked[] = {
        {"printf", &oversized_printf},  {"format", &oversized_printf}, {"instr", &oversized_search},
        {"replace", &oversized_search}, {"trim", &oversized_search},   {"ltrim", &oversized_search},
        {"rtrim", &oversized_search},   {"like", &oversized_search},   {"glob", &oversized_search}};
    for (const auto& f : checked) {
      sqlite3_create_function_v2(db_.get(), f.name, -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                 new CheckedBuiltin{formatter_.get(), f.name, f.check, {}},
                                 &CheckedBuiltin::call, nullptr, nullptr, &CheckedBuiltin::destroy);
    }
    // A file that is not a database fails on first read; find out now.
    CollectSink probe;
    query("SELECT count(*) FROM sqlite_master", probe, true);
  }

  static int authorize(void* self, int action, const char*, const char* detail, const char*,
                       const char*) {
    const auto* backend = static_cast<SqliteBackend*>(self);
    if (backend->trusted_) return SQLITE_OK;
    switch (action) {
      case SQLITE_SELECT:
      case SQLITE_READ:
      case SQLITE_RECURSIVE:
        return SQLITE_OK;
      case SQLITE_FUNCTION:
        return forbidden_function(detail) ? SQLITE_DENY : SQLITE_OK;
      default:
        return SQLITE_DENY;
    }
  }

  // Interrupts a generated statement past its deadline or over its memory allowance. The
  // memory figure is the process's (SQLite counts no other way), taken from where the
  // statement began.
  static int progress(void* self) {
    auto* backend = static_cast<SqliteBackend*>(self);
    if (!backend->deadline_) return 0;
    if (sqlite3_memory_used() - backend->memory_at_start_ > kMaxStatementMemory) {
      backend->over_memory_ = true;
      return 1;
    }
    return Clock::now() > *backend->deadline_ ? 1 : 0;
  }

  void run_internal(const char* sql) {
    trusted_ = true;
    char* error = nullptr;
    const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error);
    trusted_ = false;
    if (rc != SQLITE_OK) {
      const std::string why = error != nullptr ? error : sqlite3_errstr(rc);
      sqlite3_free(error);
      throw DatabaseError(why);
    }
  }

  void rollback() noexcept {
    if (sqlite3_get_autocommit(db_.get()) == 0) {
      trusted_ = true;
      sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      trusted_ = false;
    }
  }

  [[noreturn]] void fail(int rc) const {
    if ((rc & 0xFF) == SQLITE_INTERRUPT && over_memory_) {
      throw DatabaseError("Statement stopped: it took more than " +
                          std::to_string(kMaxStatementMemory / (1024 * 1024)) + " MB of memory");
    }
    if ((rc & 0xFF) == SQLITE_INTERRUPT && deadline_) {
      throw DatabaseError(
          "Statement timed out after " + std::to_string(options_.statement_timeout.count()) + " ms",
          "57014", true);
    }
    throw DatabaseError(sqlite3_errmsg(db_.get()));
  }

  void query(std::string_view sql, RowSink& sink, bool trusted) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    // Catalogue pragmas prepare their own statements while stepping: trust lasts the query.
    trusted_ = trusted;
    struct EndTrust {
      bool& t;
      ~EndTrust() { t = false; }
    } end_trust{trusted_};
    const int prepared =
        sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, &tail);
    Stmt stmt(raw);
    if (prepared != SQLITE_OK) throw DatabaseError(sqlite3_errmsg(db_.get()));
    if (!stmt) return;  // only blanks and comments
    // The guard has already refused a second statement; SQLite would silently ignore it.
    for (const char* p = tail; p != nullptr && *p != '\0'; ++p) {
      if (std::strchr(" \t\r\n;", *p) == nullptr) {
        throw DatabaseError("Statement refused: only one statement may be run at a time");
      }
    }
    const int count = sqlite3_column_count(stmt.get());
    std::vector<std::string> labels;
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(stmt.get(), i);
      labels.emplace_back(name != nullptr ? name : "");
    }
    bool announced = false;
    Row row(static_cast<std::size_t>(count));
    // A generated statement's value longer than the whole answer may be is copied only to a
    // byte past that bound: its row is left out of the answer either way.
    const std::size_t keep =
        !trusted && options_.max_bytes != 0 ? options_.max_bytes + 1 : std::string::npos;
    if (!trusted) {
      deadline_ = Clock::now() + options_.statement_timeout;
      memory_at_start_ = sqlite3_memory_used();
      over_memory_ = false;
    }
    struct ClearDeadline {
      std::optional<Clock::time_point>& d;
      ~ClearDeadline() { d.reset(); }
    } clear{deadline_};
    for (;;) {
      const int rc = sqlite3_step(stmt.get());
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) fail(rc);
      if (count == 0) continue;
      if (!announced) {
        sink.columns(labels);
        announced = true;
      }
      for (int i = 0; i < count; ++i) {
        Value& v = row[static_cast<std::size_t>(i)];
        switch (sqlite3_column_type(stmt.get(), i)) {
          case SQLITE_INTEGER:
            v = Value::of_int(sqlite3_column_int64(stmt.get(), i));
            break;
          case SQLITE_FLOAT:
            v = Value::of_real(sqlite3_column_double(stmt.get(), i));
            break;
          case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), i));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), i));
            v = Value::of(Value::Kind::text, std::string(text, std::min(size, keep)));
            break;
          }
          case SQLITE_BLOB: {
            const void* blob = sqlite3_column_blob(stmt.get(), i);
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), i));
            v = Value::of(Value::Kind::bytes,
                          size == 0
                              ? std::string()
                              : std::string(static_cast<const char*>(blob), std::min(size, keep)));
            break;
          }
          default:
            v = Value::null_value();
            break;
        }
      }
      if (!sink.row(row)) break;
    }
    if (!announced && count > 0) sink.columns(labels);
  }

  std::string path_;
  Options options_;
  Db formatter_;  // SQLite's own functions, behind CheckedBuiltin; outlives db_
  Db db_;
  bool trusted_ = false;
  std::optional<Clock::time_point> deadline_;
  sqlite3_int64 memory_at_start_ = 0;
  bool over_memory_ = false;
};

}  // namespace

std::unique_ptr<Backend> open_sqlite(const ConnectionUri& uri, const Options& options) {
  return std::make_unique<SqliteBackend>(uri, options);
}

}  // namespace norvex::sql::detail

// Files into an SQLite database. Each file is read twice, streaming: the first pass infers
// the columns and their types from every value (and finds malformed rows before anything is
// written), the second writes the rows, all tables in one transaction.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "norvex/files/files.hpp"
#include "source.hpp"

namespace norvex::files {
namespace {

using base::lower;

using detail::Cell;
using detail::Hint;
using detail::TypeMask;

constexpr std::size_t kSkippedLinesKept = 10;
constexpr const char* kSkipHint = " (skip such rows with --skip-bad-rows)";

enum class Format { csv, tsv, jsonl, xlsx };

Format format_of(const std::filesystem::path& path) {
  const std::string ext = lower(path.extension().string());
  if (ext == ".csv" || ext == ".txt") return Format::csv;
  if (ext == ".tsv" || ext == ".tab") return Format::tsv;
  if (ext == ".jsonl" || ext == ".ndjson") return Format::jsonl;
  if (ext == ".xlsx" || ext == ".xlsm") return Format::xlsx;
  throw ArgumentError("cannot tell the format of '" + path.string() +
                      "' from its name: CSV (.csv, .txt), TSV (.tsv, .tab), JSON Lines (.jsonl, "
                      ".ndjson) and Excel (.xlsx) are read");
}

// A scratch folder removed with everything in it, also when a signal ends the program.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvex-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw Error("cannot make a temporary folder in " +
                  std::filesystem::temp_directory_path().string());
    }
    path_ = pattern;
    on_signal_ = std::make_unique<detail::Cleanup>(path_, true);
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  // Hands the folder over: it is no longer removed here.
  std::filesystem::path release() {
    on_signal_.reset();
    return std::exchange(path_, {});
  }

 private:
  std::filesystem::path path_;
  std::unique_ptr<detail::Cleanup> on_signal_;
};

// A data file held open from the first pass to the last, so that both read the same bytes
// even when the file is replaced meanwhile; a change in place is noticed.
struct HeldFile {
  int fd = -1;
  struct stat before {};
  explicit HeldFile(const std::filesystem::path& path) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ArgumentError("cannot read '" + path.string() + "': " + std::strerror(errno));
    ::fstat(fd, &before);
  }
  ~HeldFile() {
    if (fd >= 0) ::close(fd);
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  // The path that reads this very file.
  [[nodiscard]] std::filesystem::path path(const std::filesystem::path& fallback) const {
    const std::filesystem::path self = "/proc/self/fd/" + std::to_string(fd);
    std::error_code ec;
    return std::filesystem::exists(self, ec) ? self : fallback;
  }
  void check_unchanged(const std::string& name) const {
    struct stat now {};
    ::fstat(fd, &now);
    if (now.st_size != before.st_size || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
      throw ValueError(name + " changed while it was being loaded; load it again");
    }
  }
};

// One table to be: what the first pass learnt, and how to read it again.
struct Plan {
  TableReport report;
  std::string name;                 // the file (and sheet) as messages name it
  std::filesystem::path read_path;  // the file as held open, a decoded copy, or a sheet as CSV
  Format read_format = Format::csv;
  bool sheet_rows = false;        // a sheet: each record starts with its row in the sheet
  std::vector<std::string> keys;  // JSON Lines: the key of each column
  bool recode = false;            // some values are not UTF-8
  std::vector<detail::ColumnEvidence::Reading> readings;  // per column
  std::vector<char> forced;  // per column: its type was chosen by the user
  std::shared_ptr<HeldFile> held;
};

// "orders.csv, line 7: " or "book.xlsx, sheet 'Q1', row 7: ".
std::string where(const Plan& plan, std::uint64_t line) {
  return plan.name + (plan.sheet_rows ? ", row " : ", line ") + std::to_string(line) + ": ";
}

// Names each column from its header text, unique regardless of case.
void name_columns(std::vector<ColumnReport>& columns) {
  std::set<std::string> taken;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string base = make_identifier(columns[i].header, "column_" + std::to_string(i + 1));
    std::string name = base;
    for (int n = 2; taken.count(lower(name)) > 0; ++n) name = base + "_" + std::to_string(n);
    taken.insert(lower(name));
    columns[i].name = name;
  }
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

unsigned order_bits(DateOrder order) {
  switch (order) {
    case DateOrder::dmy:
      return detail::kDmy;
    case DateOrder::mdy:
      return detail::kMdy;
    case DateOrder::ymd:
      return detail::kYmd;
    default:
      return 0;
  }
}

class Survey {
 public:
  Survey(const LoadOptions& options, Plan& plan) : options_(options), plan_(plan) {}

  void add_column(std::string header) {
    plan_.report.columns.push_back({{}, std::move(header), ColumnType::text, {}});
    masks_.push_back(detail::kAllTypes);
    seen_.push_back(false);
    evidence_.emplace_back();
  }
  void observe(std::size_t column, const Cell& cell) {
    if (cell.text.empty()) return;
    const TypeMask mask = detail::types_of(cell);
    masks_[column] &= mask;
    seen_[column] = true;
    if (cell.hint != Hint::any) return;
    evidence_[column].observe(cell.text, mask);
    if (!detail::valid_utf8(cell.text)) {
      plan_.recode = true;
      ++plan_.report.recoded_values;
    }
  }
  void bad_row(std::uint64_t line, const std::string& why) {
    if (!options_.skip_bad_rows) throw ValueError(where(plan_, line) + why + kSkipHint);
    auto& r = plan_.report;
    ++r.skipped_rows;
    if (r.skipped_lines.size() < kSkippedLinesKept) r.skipped_lines.push_back(line);
  }
  void widen(std::size_t width) {
    while (plan_.report.columns.size() < width) add_column("");
  }
  // The columns' types and how their values read; may be called again after more values.
  void finish(char delimiter) {
    auto& columns = plan_.report.columns;
    std::vector<ColumnType> plain(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i)
      plain[i] = detail::type_of(masks_[i], seen_[i]);
    detail::FileHints hints;
    hints.decimal_comma = options_.decimal_comma;
    hints.date_order = order_bits(options_.date_order);
    auto& readings = plan_.readings;
    readings.assign(columns.size(), {});
    const auto decide_all = [&] {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        readings[i] = evidence_[i].decide(hints, plain[i]);
      }
    };
    decide_all();
    // What the columns that could decide say settles those that could not.
    int comma = 0;
    int point = 0;
    unsigned orders = 0;
    bool ambiguous = false;
    for (const auto& r : readings) {
      ambiguous = ambiguous || r.ambiguous;
      if (r.kind == detail::ColumnEvidence::Kind::number && r.evidence) (r.comma ? comma : point)++;
      if (r.kind == detail::ColumnEvidence::Kind::date && r.evidence) orders |= r.order;
    }
    if (ambiguous || (delimiter == ';' && !options_.decimal_comma)) {
      hints.file_decimal = comma > 0 && point == 0   ? 1
                           : point > 0 && comma == 0 ? -1
                           : delimiter == ';'        ? 1
                                                     : 0;
      if ((orders & (orders - 1)) == 0) hints.file_order = orders;
      decide_all();
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
      columns[i].type =
          readings[i].kind == detail::ColumnEvidence::Kind::plain ? plain[i] : readings[i].type;
      columns[i].note = readings[i].note;
      if (plan_.recode && !detail::valid_utf8(columns[i].header)) {
        std::string utf8;
        detail::windows_1252_to_utf8(columns[i].header, utf8);
        columns[i].header = utf8;
      }
    }
    name_columns(columns);
    plan_.forced.assign(columns.size(), 0);
    for (const auto& chosen : options_.column_types) {
      for (std::size_t i = 0; i < columns.size(); ++i) {
        if (lower(chosen.column) == lower(columns[i].name) ||
            lower(chosen.column) == lower(columns[i].header)) {
          columns[i].type = chosen.type;
          plan_.forced[i] = 1;
          // The reading still applies when it gives that type's values.
          const bool applies =
              readings[i].kind != detail::ColumnEvidence::Kind::plain &&
              (readings[i].kind == detail::ColumnEvidence::Kind::number
                   ? chosen.type == ColumnType::integer || chosen.type == ColumnType::real
                   : chosen.type == ColumnType::date || chosen.type == ColumnType::timestamp);
          columns[i].note = "type " + std::string(type_name(chosen.type)) + " chosen by the user" +
                            (applies ? "; " + readings[i].note : std::string());
        }
      }
    }
    auto& encoding = plan_.report.encoding;
    if (encoding.empty() || encoding == "utf-8" || encoding == "windows-1252") {
      encoding = plan_.recode ? "windows-1252" : "utf-8";
    }
  }

 private:
  const LoadOptions& options_;
  Plan& plan_;
  std::vector<TypeMask> masks_;
  std::vector<bool> seen_;
  std::vector<detail::ColumnEvidence> evidence_;
};

struct Reporter {
  const LoadOptions& options;
  const Plan& plan;
  int pass;
  std::uint64_t total;
  const std::uint64_t* rows;
  void operator()(std::uint64_t bytes, bool finished = false) const {
    if (!options.progress) return;
    Progress p;
    p.file = plan.report.source.native();
    p.table = plan.report.name;
    p.pass = pass;
    p.bytes_done = bytes;
    p.bytes_total = total;
    p.rows = *rows;
    p.finished = finished;
    options.progress(p);
  }
};

std::uint64_t size_of(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

// A sheet's record: its row number first, then its cells.
std::uint64_t sheet_row(std::vector<Cell>& cells, std::uint64_t line) {
  if (cells.empty()) return line;
  std::uint64_t row = 0;
  const auto text = cells.front().text;
  std::from_chars(text.data(), text.data() + text.size(), row);
  cells.erase(cells.begin());
  return row;
}

// Whether a first row names the columns, judged against the rows after it: a name over a
// column of numbers or dates, a row of names over text, or years over other numbers.
bool looks_like_header(const std::vector<Cell>& first, const std::vector<ColumnReport>& rest,
                       bool any_rest) {
  bool typed = false;
  bool name_over_values = false;
  bool all_years = true;
  bool years_over_others = false;
  for (std::size_t i = 0; i < first.size() && i < rest.size(); ++i) {
    const Cell& cell = first[i];
    if (cell.text.empty()) continue;
    const TypeMask mask = detail::types_of(cell);
    detail::Number parsed;
    const bool reads_as_value = mask != 0 || detail::read_number(cell.text, false, parsed) ||
                                detail::read_number(cell.text, true, parsed);
    if (!reads_as_value) {
      if (any_rest && rest[i].type != ColumnType::text && rest[i].type != ColumnType::boolean) {
        name_over_values = true;
      }
      continue;
    }
    typed = true;
    std::int64_t year = 0;
    const auto [end, ec] =
        std::from_chars(cell.text.data(), cell.text.data() + cell.text.size(), year);
    if (ec != std::errc() || end != cell.text.data() + cell.text.size() || year < 1900 ||
        year > 2100) {
      all_years = false;
    } else if (any_rest &&
               (rest[i].type == ColumnType::integer || rest[i].type == ColumnType::real)) {
      years_over_others = true;  // a year over a numeric column
    }
  }
  if (name_over_values) return true;
  if (!typed) return true;
  return all_years && years_over_others && typed &&
         std::any_of(first.begin(), first.end(),
                     [](const Cell& c) { return !c.text.empty() && detail::types_of(c) == 0; });
}

void survey_delimited(Plan& plan, const LoadOptions& options) {
  auto& report = plan.report;
  Survey survey(options, plan);
  bool have_first = false;
  std::size_t width = 0;
  std::uint64_t rows = 0;
  std::vector<std::string> first_text;
  std::vector<bool> first_empty_string;
  const Reporter progress{options, plan, 1, size_of(plan.read_path), &rows};
  detail::scan_delimited(
      plan.read_path, plan.name, report.delimiter,
      [&](std::uint64_t line, const std::vector<Cell>& row) {
        std::vector<Cell> sheet_cells;
        const std::vector<Cell>* cells = &row;
        if (plan.sheet_rows) {
          sheet_cells = row;
          line = sheet_row(sheet_cells, line);
          cells = &sheet_cells;
        }
        if (!have_first) {
          have_first = true;
          width = cells->size();
          for (const Cell& cell : *cells) {
            first_text.emplace_back(cell.text);
            first_empty_string.push_back(cell.empty_string);
            survey.add_column("");
          }
          return;
        }
        if (cells->size() != width) {
          // A sheet's rows end at their last value: shorter rows are padded, wider ones widen.
          if (plan.sheet_rows) {
            if (cells->size() > width) {
              width = cells->size();
              survey.widen(width);
            }
          } else {
            survey.bad_row(line, "expected " + std::to_string(width) + " fields, found " +
                                     std::to_string(cells->size()));
            return;
          }
        }
        for (std::size_t i = 0; i < cells->size(); ++i) survey.observe(i, (*cells)[i]);
        ++rows;
      },
      [&](std::uint64_t line, const std::string& why) { survey.bad_row(line, why); },
      [&](std::uint64_t bytes) { progress(bytes); });
  if (!have_first) {
    throw ValueError(plan.name + " is empty: there is no header or row to make a table of");
  }
  // Decide the types without the first row, then whether it is a header.
  std::vector<Cell> first;
  for (std::size_t i = 0; i < first_text.size(); ++i) {
    first.push_back({first_text[i], Hint::any, first_empty_string[i]});
  }
  survey.finish(report.delimiter);
  bool header = options.header == HeaderMode::present;
  if (options.header == HeaderMode::detect) {
    header = looks_like_header(first, report.columns, rows > 0);
  }
  report.header = header;
  if (header) {
    for (std::size_t i = 0; i < first.size(); ++i)
      report.columns[i].header = trimmed(first[i].text);
  } else {
    for (std::size_t i = 0; i < first.size(); ++i) survey.observe(i, first[i]);
    ++rows;
  }
  for (auto& c : report.columns) c.name.clear();
  report.rows = rows;
  progress(size_of(plan.read_path), true);
  survey.finish(report.delimiter);
}

void survey_json_lines(Plan& plan, const LoadOptions& options) {
  Survey survey(options, plan);
  std::unordered_map<std::string, std::size_t> index;
  std::uint64_t rows = 0;
  const Reporter progress{options, plan, 1, size_of(plan.read_path), &rows};
  detail::scan_json_lines(
      plan.read_path, plan.name,
      [&](std::uint64_t, const std::vector<detail::JsonField>& object) {
        for (const auto& field : object) {
          auto [at, added] = index.emplace(field.key, plan.keys.size());
          if (added) {
            if (plan.keys.size() >= detail::kMaxFields) {
              throw ValueError(plan.name + " has more than " + std::to_string(detail::kMaxFields) +
                               " different keys, more than the columns a table may have");
            }
            plan.keys.push_back(field.key);
            survey.add_column(field.key);
          }
          survey.observe(at->second, field.cell());
        }
        ++rows;
      },
      [&](std::uint64_t line, const std::string& why) { survey.bad_row(line, why); },
      [&](std::uint64_t bytes) { progress(bytes); });
  if (plan.keys.empty()) {
    throw ValueError(plan.name + " holds no JSON object with a key to make a table of");
  }
  plan.report.header = true;
  plan.report.rows = rows;
  progress(size_of(plan.read_path), true);
  survey.finish(',');
}

struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
struct ConnectionDeleter {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;
using Connection = std::unique_ptr<sqlite3, ConnectionDeleter>;

std::string sql_name(std::string_view name) {
  std::string out = "\"";
  for (const char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

class Writer {
 public:
  explicit Writer(const std::filesystem::path& path) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_.reset(raw);
    check(rc);
    // The file is new and removed when the load fails, so a crash cannot leave a half-truth
    // that a journal would have saved.
    exec(
        "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE; "
        "PRAGMA cache_size=-8192; BEGIN");
  }

  void exec(const std::string& sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      std::string text = message ? message : sqlite3_errstr(rc);
      sqlite3_free(message);
      throw DatabaseError("writing the file database failed: " + text);
    }
  }

  void check(int rc) const {
    if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
    throw DatabaseError("writing the file database failed: " +
                        std::string(db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc)));
  }

  // The table with its notes as "-- " lines opening its definition, which the schema text
  // shows.
  Statement create_table(const TableReport& table) {
    const auto comment = [](std::string_view text) {
      std::string out;
      for (const char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
      return out;
    };
    std::string sql = "CREATE TABLE " + sql_name(table.name) + " (\n";
    for (const auto& note : table.notes) sql += "-- " + comment(note) + "\n";
    std::string insert = "INSERT INTO " + sql_name(table.name) + " VALUES (";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      const auto& column = table.columns[i];
      if (i > 0) insert += ", ";
      sql += "  " + sql_name(column.name) + " " + std::string(type_name(column.type));
      if (i + 1 < table.columns.size()) sql += ",";
      sql += "\n";
      insert += "?";
    }
    exec(sql + ")");
    sqlite3_stmt* raw = nullptr;
    check(sqlite3_prepare_v3(db_.get(), (insert + ")").c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw,
                             nullptr));
    return Statement(raw);
  }

  void commit() { exec("COMMIT"); }

 private:
  Connection db_;
};

// Binds one cell by its column's type and reading. A value that does not read as its
// column's type is stored as text rather than lost (the file changed under us), unless the
// user chose the type: then the load stops at it.
class Binder {
 public:
  Binder(const Plan& plan, sqlite3_stmt* statement, Writer& writer)
      : plan_(plan), statement_(statement), writer_(writer), recoded_(plan.report.columns.size()) {}

  void bind(std::size_t column, const Cell& cell, std::uint64_t line) {
    const int at = static_cast<int>(column) + 1;
    std::string_view s = cell.text;
    const ColumnType type = plan_.report.columns[column].type;
    if (s.empty()) {
      // A quoted "" is an empty text; in a column of numbers or dates there is no such value.
      if (cell.empty_string && type == ColumnType::text) {
        sqlite3_bind_text(statement_, at, "", 0, SQLITE_STATIC);
      } else {
        sqlite3_bind_null(statement_, at);
      }
      return;
    }
    const auto& reading = plan_.readings[column];
    if (cell.hint == Hint::any && reading.kind == detail::ColumnEvidence::Kind::number &&
        (type == ColumnType::integer || type == ColumnType::real)) {
      detail::Number number;
      if (detail::read_number(s, reading.comma, number)) {
        if (type == ColumnType::integer && number.integral) {
          sqlite3_bind_int64(statement_, at, number.integer);
        } else {
          sqlite3_bind_double(statement_, at, number.real == 0 ? 0.0 : number.real);
        }
        return;
      }
    } else if (cell.hint == Hint::any && reading.kind == detail::ColumnEvidence::Kind::date &&
               (type == ColumnType::date || type == ColumnType::timestamp)) {
      detail::DateParts parts;
      if (reading.utc ? detail::utc_timestamp(s, iso_)
                      : (detail::date_orders(s, parts) & reading.order) != 0) {
        if (!reading.utc) detail::iso_date(parts, reading.order, iso_);
        sqlite3_bind_text(statement_, at, iso_.data(), static_cast<int>(iso_.size()),
                          SQLITE_TRANSIENT);
        return;
      }
      if (detail::types_of(cell) & TypeMask(1u << static_cast<unsigned>(type))) {
        sqlite3_bind_text(statement_, at, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
        return;
      }
    } else {
      switch (type) {
        case ColumnType::integer: {
          std::int64_t value = 0;
          const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
          if (ec == std::errc() && end == s.data() + s.size() &&
              (!plan_.forced[column] || detail::types_of(cell) != 0)) {
            sqlite3_bind_int64(statement_, at, value);
            return;
          }
          break;
        }
        case ColumnType::real: {
          double value = 0;
          const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
          if (ec == std::errc() && end == s.data() + s.size() && s[0] != '+' &&
              (!plan_.forced[column] || detail::types_of(cell) != 0)) {
            sqlite3_bind_double(statement_, at, value == 0 ? 0.0 : value);
            return;
          }
          break;
        }
        case ColumnType::boolean:
          if (detail::types_of({s, Hint::any}) ==
              (1u << static_cast<unsigned>(ColumnType::boolean))) {
            sqlite3_bind_int(statement_, at, (s[0] | 0x20) == 't' ? 1 : 0);
            return;
          }
          break;
        case ColumnType::date:
        case ColumnType::timestamp:
          if (!plan_.forced[column] ||
              (detail::types_of(cell) & TypeMask(1u << static_cast<unsigned>(type)))) {
            break;
          }
          fail(column, s, line);
          break;
        default:
          break;
      }
    }
    if (plan_.forced[column] && type != ColumnType::text && type != ColumnType::date &&
        type != ColumnType::timestamp) {
      fail(column, s, line);
    }
    if (plan_.forced[column] && (type == ColumnType::date || type == ColumnType::timestamp) &&
        !(detail::types_of(cell) & TypeMask(1u << static_cast<unsigned>(type)))) {
      fail(column, s, line);
    }
    if (plan_.recode && cell.hint == Hint::any && !detail::valid_utf8(s)) {
      detail::windows_1252_to_utf8(s, recoded_[column]);
      s = recoded_[column];
    }
    sqlite3_bind_text(statement_, at, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
  }

  void row_done() {
    writer_.check(sqlite3_step(statement_));
    sqlite3_reset(statement_);
  }

 private:
  [[noreturn]] void fail(std::size_t column, std::string_view value, std::uint64_t line) const {
    const auto& c = plan_.report.columns[column];
    throw ValueError(where(plan_, line) + "'" + std::string(value.substr(0, 80)) + "' in column " +
                     c.name + " does not read as " + std::string(type_name(c.type)) +
                     " (the type chosen with --column-type)");
  }

  const Plan& plan_;
  sqlite3_stmt* statement_;
  Writer& writer_;
  std::vector<std::string> recoded_;
  std::string iso_;
};

void write_table(Writer& writer, Plan& plan, const LoadOptions& options) {
  const Statement insert = writer.create_table(plan.report);
  Binder binder(plan, insert.get(), writer);
  const std::size_t width = plan.report.columns.size();
  std::uint64_t rows = 0;
  const Reporter progress{options, plan, 2, size_of(plan.read_path), &rows};
  if (plan.read_format == Format::jsonl) {
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < plan.keys.size(); ++i) index.emplace(plan.keys[i], i);
    std::vector<Cell> cells(width);
    detail::scan_json_lines(
        plan.read_path, plan.name,
        [&](std::uint64_t line, const std::vector<detail::JsonField>& object) {
          std::fill(cells.begin(), cells.end(), Cell{});
          for (const auto& field : object) {
            const auto at = index.find(field.key);
            if (at != index.end()) cells[at->second] = field.cell();
          }
          for (std::size_t i = 0; i < width; ++i) binder.bind(i, cells[i], line);
          binder.row_done();
          ++rows;
        },
        [](std::uint64_t, const std::string&) {}, [&](std::uint64_t bytes) { progress(bytes); });
  } else {
    bool first = true;
    std::vector<Cell> sheet_cells;
    detail::scan_delimited(
        plan.read_path, plan.name, plan.report.delimiter,
        [&](std::uint64_t line, const std::vector<Cell>& row) {
          const std::vector<Cell>* cells = &row;
          if (plan.sheet_rows) {
            sheet_cells = row;
            line = sheet_row(sheet_cells, line);
            cells = &sheet_cells;
          }
          if (first) {
            first = false;
            if (plan.report.header) return;
          }
          if (cells->size() != width && !plan.sheet_rows) return;  // counted by the first pass
          for (std::size_t i = 0; i < width; ++i) {
            binder.bind(i, i < cells->size() ? (*cells)[i] : Cell{}, line);
          }
          binder.row_done();
          ++rows;
        },
        [](std::uint64_t, const std::string&) {}, [&](std::uint64_t bytes) { progress(bytes); });
  }
  plan.report.rows = rows;
  progress(size_of(plan.read_path), true);
}

void add_table_notes(Plan& plan) {
  auto& report = plan.report;
  // Names and headers come from the file: each is shown as one line of bounded length, so
  // that no crafted text can end a note's line, fill the prompt or drive a terminal.
  constexpr std::size_t kShownBytes = 200;
  std::string from =
      "Loaded from " + detail::printable_text(report.source.filename().string(), kShownBytes);
  if (!report.sheet.empty()) {
    from += ", sheet '" + detail::printable_text(report.sheet, kShownBytes) + "'";
  }
  if (report.encoding != "utf-8") from += " (" + report.encoding + ")";
  report.notes.insert(report.notes.begin(), from + ".");
  for (const auto& column : report.columns) {
    if (!column.header.empty() && column.header != column.name) {
      report.notes.push_back("Column " + column.name + " is '" +
                             detail::printable_text(column.header, kShownBytes) + "' in the file.");
    }
  }
  for (const auto& column : report.columns) {
    if (!column.note.empty()) report.notes.push_back(column.name + ": " + column.note + ".");
  }
  for (auto& note : report.notes) note = detail::printable_text(note, 4 * kShownBytes);
}

std::vector<Plan> survey_files(const std::vector<FileSpec>& files, const LoadOptions& options,
                               const std::filesystem::path& scratch) {
  std::vector<Plan> plans;
  std::set<std::string> taken;
  // Names the user chose are kept as chosen (made valid); names made from file names give way.
  for (const FileSpec& entry : files) {
    if (entry.table.empty()) continue;
    if (!taken.insert(lower(make_identifier(entry.table, "table"))).second) {
      throw ArgumentError("two files are both named '" + entry.table + "'");
    }
  }
  const auto unique = [&](const std::string& wanted, bool chosen) {
    std::string name = wanted;
    if (chosen) return name;
    for (int n = 2; taken.count(lower(name)) > 0; ++n) name = wanted + "_" + std::to_string(n);
    taken.insert(lower(name));
    return name;
  };

  int scratch_number = 0;
  for (const FileSpec& entry : files) {
    const auto& path = entry.path;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      throw ArgumentError("no such file: '" + path.string() + "'");
    }
    const auto held = std::make_shared<HeldFile>(path);
    const auto size = static_cast<std::uint64_t>(held->before.st_size);
    if (options.max_file_bytes != 0 && size > options.max_file_bytes) {
      throw ArgumentError("'" + path.string() + "' is " + std::to_string(size) +
                          " bytes, more than the limit of " +
                          std::to_string(options.max_file_bytes) +
                          " bytes; raise the limit (--max-file-size) to load it");
    }
    const Format format = format_of(path);
    const bool chosen = !entry.table.empty();
    const std::string base = make_identifier(chosen ? entry.table : path.stem().string(), "table");
    const auto read_path = held->path(path);

    if (format == Format::xlsx) {
      const auto out_dir = scratch / ("workbook" + std::to_string(scratch_number++));
      std::filesystem::create_directories(out_dir);
      detail::WorkbookLimits limits;
      limits.expanded_bytes = options.max_file_bytes;
      limits.memory_bytes = options.workbook_memory_bytes;
      limits.seconds = options.workbook_seconds;
      const auto sheets =
          detail::convert_workbook(read_path, out_dir, options.python_executable, limits, path);
      if (sheets.empty()) throw ValueError(path.string() + " has no sheet with data");
      for (const auto& sheet : sheets) {
        // A sheet's name is the workbook's text: shown on one line, and bounded.
        const std::string sheet_name = detail::printable_text(sheet.name, 200);
        Plan plan;
        const std::string wanted =
            sheets.size() == 1 ? base : base + "_" + make_identifier(sheet_name, "sheet");
        plan.report.name = unique(wanted, chosen && sheets.size() == 1);
        plan.report.source = path;
        plan.report.sheet = sheet_name;
        plan.report.format = "xlsx";
        plan.name = path.string() + ", sheet '" + sheet_name + "'";
        plan.read_path = sheet.csv;
        plan.read_format = Format::csv;
        plan.sheet_rows = true;
        survey_delimited(plan, options);
        if (sheet.formulas_without_value > 0) {
          plan.report.notes.push_back(
              std::to_string(sheet.formulas_without_value) +
              " cells hold a formula whose value the workbook never saved (first: " +
              sheet.first_formula_cell +
              "); they are empty here: open and save the workbook in a spreadsheet program");
        }
        add_table_notes(plan);
        plans.push_back(std::move(plan));
      }
      continue;
    }
    Plan plan;
    plan.report.name = unique(base, chosen);
    plan.report.source = path;
    plan.name = path.string();
    plan.held = held;
    plan.read_path = read_path;
    plan.read_format = format;
    const std::string wide = detail::wide_encoding(read_path);
    if (!wide.empty()) {
      plan.read_path = scratch / ("text" + std::to_string(scratch_number++) + ".utf8");
      detail::transcode_to_utf8(read_path, plan.name, wide, plan.read_path);
      plan.report.encoding = wide;
    }
    if (format == Format::jsonl) {
      plan.report.format = "jsonl";
      survey_json_lines(plan, options);
    } else {
      plan.report.format = format == Format::tsv ? "tsv" : "csv";
      plan.report.delimiter =
          format == Format::tsv ? '\t' : detail::sniff_delimiter(plan.read_path, ',');
      survey_delimited(plan, options);
    }
    add_table_notes(plan);
    plans.push_back(std::move(plan));
  }
  if (plans.empty()) throw ArgumentError("no files to load");
  for (const auto& chosen : options.column_types) {
    const bool found = std::any_of(plans.begin(), plans.end(), [&](const Plan& plan) {
      return std::any_of(
          plan.report.columns.begin(), plan.report.columns.end(), [&](const ColumnReport& c) {
            return lower(c.name) == lower(chosen.column) || lower(c.header) == lower(chosen.column);
          });
    });
    if (!found) {
      throw ArgumentError("--column-type names '" + chosen.column +
                          "', which is no column of the files");
    }
  }
  return plans;
}

LoadReport reports_of(std::vector<Plan>& plans) {
  LoadReport out;
  for (auto& plan : plans) out.push_back(std::move(plan.report));
  return out;
}

// Writes the tables into `database`, a new file or an empty one this load made.
void write_database(std::vector<Plan>& plans, const std::filesystem::path& database,
                    const LoadOptions& options) {
  try {
    Writer writer(database);
    for (auto& plan : plans) {
      if (plan.held) plan.held->check_unchanged(plan.name);
      write_table(writer, plan, options);
    }
    writer.commit();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(database, ignored);
    throw;
  }
}

// A new empty file beside `wanted` that no one else has: where a saved database is written.
std::filesystem::path make_partial(const std::filesystem::path& wanted) {
  std::string pattern = wanted.string() + ".part-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    throw ArgumentError("cannot write beside '" + wanted.string() + "': " + std::strerror(errno));
  }
  ::close(fd);
  return pattern;
}

// Gives `from` the name `to` unless something has that name: never replaces a file.
void rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {
    // A file system without the flag: a hard link fails as well when the name is taken.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return;
    }
    error = errno;
  }
  if (error == EEXIST) {
    throw ArgumentError("'" + to.string() +
                        "' was made by someone else while the files were "
                        "loading; it is not overwritten");
  }
  throw Error("cannot save the database as '" + to.string() + "': " + std::strerror(error));
}

}  // namespace

LoadReport inspect_files(const std::vector<FileSpec>& files, const LoadOptions& options) {
  const ScratchDir scratch;
  auto plans = survey_files(files, options, scratch.path());
  return reports_of(plans);
}

LoadReport load_files(const std::vector<FileSpec>& files, const std::filesystem::path& database,
                      const LoadOptions& options) {
  if (std::filesystem::exists(database)) {
    throw ArgumentError("'" + database.string() + "' exists already; it is not overwritten");
  }
  const ScratchDir scratch;
  auto plans = survey_files(files, options, scratch.path());
  const detail::Cleanup on_signal(database, false);
  write_database(plans, database, options);
  return reports_of(plans);
}

FileDatabase FileDatabase::load(const std::vector<FileSpec>& files, const LoadOptions& options,
                                const std::optional<std::filesystem::path>& save_to) {
  FileDatabase out;
  if (save_to) {
    if (std::filesystem::exists(*save_to)) {
      throw ArgumentError("'" + save_to->string() + "' exists already; it is not overwritten");
    }
    // Written beside its place under a name of its own and renamed when complete: no
    // half-loaded file under that name, and no file that appeared there meanwhile replaced.
    const ScratchDir scratch;
    auto plans = survey_files(files, options, scratch.path());
    const auto partial = make_partial(*save_to);
    const detail::Cleanup on_signal(partial, false);
    write_database(plans, partial, options);
    try {
      rename_no_replace(partial, *save_to);
    } catch (...) {
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      throw;
    }
    out.report_ = reports_of(plans);
    out.path_ = std::filesystem::absolute(*save_to);
    return out;
  }
  ScratchDir scratch;
  const auto path = scratch.path() / "files.db";
  out.report_ = load_files(files, path, options);
  out.path_ = path;
  out.temporary_dir_ = scratch.release();
  out.cleanup_ = std::make_shared<detail::Cleanup>(out.temporary_dir_, true);
  return out;
}

FileDatabase::FileDatabase(FileDatabase&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_dir_(std::exchange(other.temporary_dir_, {})),
      report_(std::move(other.report_)),
      cleanup_(std::move(other.cleanup_)) {}

FileDatabase& FileDatabase::operator=(FileDatabase&& other) noexcept {
  if (this != &other) {
    std::error_code ignored;
    if (!temporary_dir_.empty()) std::filesystem::remove_all(temporary_dir_, ignored);
    path_ = std::move(other.path_);
    temporary_dir_ = std::exchange(other.temporary_dir_, {});
    report_ = std::move(other.report_);
    cleanup_ = std::move(other.cleanup_);
  }
  return *this;
}

FileDatabase::~FileDatabase() {
  if (temporary_dir_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(temporary_dir_, ignored);
}

// The path percent-escaped: a "?" or "%" in it is part of the name, never a URI's query.
std::string FileDatabase::uri() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "sqlite:///";
  for (const char c : path_.string()) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || c == '?' || c == '#' || c == '%' || u == 0x7f) {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::shared_ptr<sql::CustomSQLDatabase> FileDatabase::open(sql::Options options) const {
  return sql::CustomSQLDatabase::from_uri(uri(), options);
}

}  // namespace norvex::files

// Files into an SQLite database. Each file is read twice, streaming: the first pass infers
// the columns and their types from every value (and finds malformed rows before anything is
// written), the second writes the rows, all tables in one transaction.
#include <sqlite3.h>
#include <unistd.h>

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
using Json = nlohmann::ordered_json;

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

std::string at_line(const std::filesystem::path& path, std::uint64_t line) {
  return path.string() + ", line " + std::to_string(line) + ": ";
}

// A scratch folder removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "norvex-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw Error("cannot make a temporary folder in " +
                  std::filesystem::temp_directory_path().string());
    }
    path_ = pattern;
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
  std::filesystem::path release() { return std::exchange(path_, {}); }

 private:
  std::filesystem::path path_;
};

// One table to be: what the first pass learnt, and how to read it again.
struct Plan {
  TableReport report;
  std::filesystem::path read_path;  // the file, or a workbook sheet as CSV
  Format read_format = Format::csv;
  std::vector<std::string> keys;  // JSON Lines: the key of each column
  bool recode = false;            // the bytes are Windows-1252
};

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

class Survey {
 public:
  Survey(const LoadOptions& options, Plan& plan) : options_(options), plan_(plan) {}

  void add_column(std::string header) {
    plan_.report.columns.push_back({{}, std::move(header), ColumnType::text});
    masks_.push_back(detail::kAllTypes);
    seen_.push_back(false);
  }
  void observe(std::size_t column, const Cell& cell) {
    masks_[column] &= detail::types_of(cell);
    if (!cell.text.empty()) seen_[column] = true;
    if (!plan_.recode && cell.hint == Hint::any && !detail::valid_utf8(cell.text))
      plan_.recode = true;
  }
  void bad_row(std::uint64_t line, const std::string& why) {
    if (!options_.skip_bad_rows) throw ValueError(at_line(plan_.read_path, line) + why + kSkipHint);
    auto& r = plan_.report;
    ++r.skipped_rows;
    if (r.skipped_lines.size() < kSkippedLinesKept) r.skipped_lines.push_back(line);
  }
  void finish() {
    auto& columns = plan_.report.columns;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      columns[i].type = detail::type_of(masks_[i], seen_[i]);
      if (plan_.recode) {
        std::string utf8;
        detail::windows_1252_to_utf8(columns[i].header, utf8);
        columns[i].header = utf8;
      }
    }
    name_columns(columns);
    plan_.report.encoding = plan_.recode ? "windows-1252" : "utf-8";
  }

 private:
  const LoadOptions& options_;
  Plan& plan_;
  std::vector<TypeMask> masks_;
  std::vector<bool> seen_;
};

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

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

void survey_delimited(Plan& plan, const LoadOptions& options) {
  auto& report = plan.report;
  Survey survey(options, plan);
  bool have_first = false;
  std::size_t width = 0;
  std::uint64_t rows = 0;
  const Reporter progress{options, plan, 1, size_of(plan.read_path), &rows};
  detail::scan_delimited(
      plan.read_path, report.delimiter,
      [&](std::uint64_t line, const std::vector<Cell>& cells) {
        if (!have_first) {
          have_first = true;
          width = cells.size();
          // A first row holding a number, a date or a boolean is data, not names.
          bool header = options.header == HeaderMode::present;
          if (options.header == HeaderMode::detect) {
            header = std::none_of(cells.begin(), cells.end(), [](const Cell& c) {
              return !c.text.empty() && detail::types_of(c) != 0;
            });
          }
          report.header = header;
          for (const Cell& cell : cells) survey.add_column(header ? trimmed(cell.text) : "");
          if (header) {
            for (const Cell& cell : cells) {
              if (!plan.recode && !detail::valid_utf8(cell.text)) plan.recode = true;
            }
            return;
          }
        }
        if (cells.size() != width) {
          survey.bad_row(line, "expected " + std::to_string(width) + " fields, found " +
                                   std::to_string(cells.size()));
          return;
        }
        for (std::size_t i = 0; i < width; ++i) survey.observe(i, cells[i]);
        ++rows;
      },
      [&](std::uint64_t bytes) { progress(bytes); });
  if (!have_first) {
    throw ValueError(plan.read_path.string() +
                     " is empty: there is no header or row to make a table of");
  }
  report.rows = rows;
  progress(size_of(plan.read_path), true);
  survey.finish();
}

// A JSON value as a cell; `storage` holds the text when the value is not a string.
Cell cell_of(const Json& value, std::string& storage) {
  switch (value.type()) {
    case Json::value_t::null:
      return {};
    case Json::value_t::string:
      return {value.get_ref<const std::string&>(), Hint::string};
    case Json::value_t::boolean:
      return {value.get<bool>() ? "true" : "false", Hint::boolean};
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      storage = value.dump();
      return {storage, Hint::number};
    default:
      storage = value.dump();
      return {storage, Hint::nested};
  }
}

void survey_json_lines(Plan& plan, const LoadOptions& options) {
  Survey survey(options, plan);
  std::unordered_map<std::string, std::size_t> index;
  std::uint64_t rows = 0;
  std::string storage;
  const Reporter progress{options, plan, 1, size_of(plan.read_path), &rows};
  detail::scan_json_lines(
      plan.read_path,
      [&](std::uint64_t, const Json& object) {
        for (const auto& [key, value] : object.items()) {
          auto [at, added] = index.emplace(key, plan.keys.size());
          if (added) {
            plan.keys.push_back(key);
            survey.add_column(key);
          }
          survey.observe(at->second, cell_of(value, storage));
        }
        ++rows;
      },
      [&](std::uint64_t line, const std::string& why) { survey.bad_row(line, why); },
      [&](std::uint64_t bytes) { progress(bytes); });
  if (plan.keys.empty()) {
    throw ValueError(plan.read_path.string() +
                     " holds no JSON object with a key to make a table of");
  }
  plan.report.header = true;
  plan.report.rows = rows;
  progress(size_of(plan.read_path), true);
  survey.finish();
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

  Statement create_table(const TableReport& table) {
    std::string sql = "CREATE TABLE " + sql_name(table.name) + " (";
    std::string insert = "INSERT INTO " + sql_name(table.name) + " VALUES (";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      if (i > 0) {
        sql += ", ";
        insert += ", ";
      }
      sql += sql_name(table.columns[i].name) + " " + std::string(type_name(table.columns[i].type));
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

// Binds one cell by its column's type; a value that no longer parses (the file changed under
// us) is stored as text rather than lost.
class Binder {
 public:
  Binder(const Plan& plan, sqlite3_stmt* statement, Writer& writer)
      : plan_(plan), statement_(statement), writer_(writer), recoded_(plan.report.columns.size()) {}

  void bind(std::size_t column, const Cell& cell) {
    const int at = static_cast<int>(column) + 1;
    std::string_view s = cell.text;
    if (s.empty()) {
      sqlite3_bind_null(statement_, at);
      return;
    }
    switch (plan_.report.columns[column].type) {
      case ColumnType::integer: {
        if (s[0] == '+') s.remove_prefix(1);
        std::int64_t value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec == std::errc() && end == s.data() + s.size()) {
          sqlite3_bind_int64(statement_, at, value);
          return;
        }
        break;
      }
      case ColumnType::real: {
        if (s[0] == '+') s.remove_prefix(1);
        double value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec == std::errc() && end == s.data() + s.size()) {
          sqlite3_bind_double(statement_, at, value);
          return;
        }
        break;
      }
      case ColumnType::boolean:
        if (detail::types_of({s, Hint::any}) != 0) {
          sqlite3_bind_int(statement_, at, (s[0] | 0x20) == 't' ? 1 : 0);
          return;
        }
        break;
      default:
        break;
    }
    s = cell.text;
    if (plan_.recode && cell.hint == Hint::any) {
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
  const Plan& plan_;
  sqlite3_stmt* statement_;
  Writer& writer_;
  std::vector<std::string> recoded_;
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
    std::vector<std::string> storage(width);
    std::vector<Cell> cells(width);
    detail::scan_json_lines(
        plan.read_path,
        [&](std::uint64_t, const Json& object) {
          std::fill(cells.begin(), cells.end(), Cell{});
          for (const auto& [key, value] : object.items()) {
            const auto at = index.find(key);
            if (at != index.end()) cells[at->second] = cell_of(value, storage[at->second]);
          }
          for (std::size_t i = 0; i < width; ++i) binder.bind(i, cells[i]);
          binder.row_done();
          ++rows;
        },
        [](std::uint64_t, const std::string&) {}, [&](std::uint64_t bytes) { progress(bytes); });
  } else {
    bool first = true;
    detail::scan_delimited(
        plan.read_path, plan.report.delimiter,
        [&](std::uint64_t, const std::vector<Cell>& cells) {
          if (first) {
            first = false;
            if (plan.report.header) return;
          }
          if (cells.size() != width) return;  // counted as skipped by the first pass
          for (std::size_t i = 0; i < width; ++i) binder.bind(i, cells[i]);
          binder.row_done();
          ++rows;
        },
        [&](std::uint64_t bytes) { progress(bytes); });
  }
  plan.report.rows = rows;
  progress(size_of(plan.read_path), true);
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

  int workbook_number = 0;
  for (const FileSpec& entry : files) {
    const auto& path = entry.path;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      throw ArgumentError("no such file: '" + path.string() + "'");
    }
    const std::uint64_t size = std::filesystem::file_size(path, ec);
    if (options.max_file_bytes != 0 && size > options.max_file_bytes) {
      throw ArgumentError("'" + path.string() + "' is " + std::to_string(size) +
                          " bytes, more than the limit of " +
                          std::to_string(options.max_file_bytes) +
                          " bytes; raise the limit (--max-file-size) to load it");
    }
    const Format format = format_of(path);
    const bool chosen = !entry.table.empty();
    const std::string base = make_identifier(chosen ? entry.table : path.stem().string(), "table");

    if (format == Format::xlsx) {
      const auto out_dir = scratch / ("workbook" + std::to_string(workbook_number++));
      std::filesystem::create_directories(out_dir);
      const auto sheets = detail::convert_workbook(path, out_dir, options.python_executable);
      if (sheets.empty()) throw ValueError(path.string() + " has no sheet with data");
      for (const auto& sheet : sheets) {
        Plan plan;
        const std::string wanted =
            sheets.size() == 1 ? base : base + "_" + make_identifier(sheet.name, "sheet");
        plan.report.name = unique(wanted, chosen && sheets.size() == 1);
        plan.report.source = path;
        plan.report.sheet = sheet.name;
        plan.report.format = "xlsx";
        plan.read_path = sheet.csv;
        plan.read_format = Format::csv;
        survey_delimited(plan, options);
        plans.push_back(std::move(plan));
      }
      continue;
    }
    Plan plan;
    plan.report.name = unique(base, chosen);
    plan.report.source = path;
    plan.read_path = path;
    plan.read_format = format;
    if (format == Format::jsonl) {
      plan.report.format = "jsonl";
      survey_json_lines(plan, options);
    } else {
      plan.report.format = format == Format::tsv ? "tsv" : "csv";
      plan.report.delimiter = format == Format::tsv ? '\t' : detail::sniff_delimiter(path, ',');
      survey_delimited(plan, options);
    }
    plans.push_back(std::move(plan));
  }
  if (plans.empty()) throw ArgumentError("no files to load");
  return plans;
}

LoadReport reports_of(std::vector<Plan>& plans) {
  LoadReport out;
  for (auto& plan : plans) out.push_back(std::move(plan.report));
  return out;
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
  try {
    Writer writer(database);
    for (auto& plan : plans) write_table(writer, plan, options);
    writer.commit();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(database, ignored);
    throw;
  }
  return reports_of(plans);
}

FileDatabase FileDatabase::load(const std::vector<FileSpec>& files, const LoadOptions& options,
                                const std::optional<std::filesystem::path>& save_to) {
  FileDatabase out;
  if (save_to) {
    if (std::filesystem::exists(*save_to)) {
      throw ArgumentError("'" + save_to->string() + "' exists already; it is not overwritten");
    }
    // Written beside its place and renamed when complete: no half-loaded file under that name.
    auto partial = *save_to;
    partial += ".part-" + std::to_string(::getpid());
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    out.report_ = load_files(files, partial, options);
    std::error_code failed;
    std::filesystem::rename(partial, *save_to, failed);
    if (failed) {
      std::filesystem::remove(partial, ignored);
      throw Error("cannot save the database as '" + save_to->string() + "': " + failed.message());
    }
    out.path_ = std::filesystem::absolute(*save_to);
    return out;
  }
  ScratchDir scratch;
  const auto path = scratch.path() / "files.db";
  out.report_ = load_files(files, path, options);
  out.path_ = path;
  out.temporary_dir_ = scratch.release();
  return out;
}

FileDatabase::FileDatabase(FileDatabase&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_dir_(std::exchange(other.temporary_dir_, {})),
      report_(std::move(other.report_)) {}

FileDatabase& FileDatabase::operator=(FileDatabase&& other) noexcept {
  if (this != &other) {
    std::error_code ignored;
    if (!temporary_dir_.empty()) std::filesystem::remove_all(temporary_dir_, ignored);
    path_ = std::move(other.path_);
    temporary_dir_ = std::exchange(other.temporary_dir_, {});
    report_ = std::move(other.report_);
  }
  return *this;
}

FileDatabase::~FileDatabase() {
  if (temporary_dir_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(temporary_dir_, ignored);
}

std::string FileDatabase::uri() const {
  return "sqlite:///" + path_.string();
}

std::shared_ptr<sql::CustomSQLDatabase> FileDatabase::open(sql::Options options) const {
  return sql::CustomSQLDatabase::from_uri(uri(), options);
}

}  // namespace norvex::files

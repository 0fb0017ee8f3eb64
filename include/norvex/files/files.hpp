#pragma once
/// Data files as a database: CSV, TSV, JSON Lines and Excel workbooks loaded into an SQLite
/// file, one table per file (one per sheet of a workbook), so the question pipeline works on
/// them through the ordinary read-only facade.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/sql/database.hpp"

namespace norvex::files {

/// One file to load and the table it becomes (empty: named after the file).
/// Thread rule: a plain value.
struct NORVEX_API FileSpec {
  std::string table;
  std::filesystem::path path;
};

/// Parses a command-line file argument: "PATH" or "NAME=PATH". A text whose part before the
/// first "=" is not a plausible table name (it holds "/" or ".") is a path as a whole.
/// Throws ArgumentError for an empty path or an empty name.
[[nodiscard]] NORVEX_API FileSpec parse_file_argument(std::string_view text);

/// A named database made of files, as a service lists its databases.
struct NORVEX_API FileDatabaseEntry {
  std::string name;
  std::vector<FileSpec> files;
};

/// Parses "NAME=file:PATH[,PATH...]" (each PATH may be "TABLE=PATH"). Returns nothing when
/// the value after "NAME=" does not start with "file:" (another kind of entry, e.g. a URI).
/// Throws ArgumentError for a missing name or an empty list of paths.
[[nodiscard]] NORVEX_API std::optional<FileDatabaseEntry> parse_database_entry(
    std::string_view text);

/// Turns any text into a table or column name that needs no quoting in SQL: letters, digits
/// and "_" (other UTF-8 letters kept), "_" before a leading digit, "_" after a reserved
/// word; `fallback` when nothing is left.
[[nodiscard]] NORVEX_API std::string make_identifier(std::string_view text,
                                                     std::string_view fallback);

enum class ColumnType { integer, real, boolean, date, timestamp, text };

/// "INTEGER", "REAL", "BOOLEAN", "DATE", "TIMESTAMP", "TEXT": the declared SQL types.
[[nodiscard]] NORVEX_API std::string_view type_name(ColumnType type) noexcept;

enum class HeaderMode { detect, present, absent };

/// The order of day, month and year in dates such as 01/02/2024.
enum class DateOrder { detect, dmy, mdy, ymd };

/// A column's type chosen by the user: `column` is its header or its table name (any case).
struct NORVEX_API ColumnTypeOverride {
  std::string column;
  ColumnType type = ColumnType::text;
};

/// What a load reports: a line per read chunk. Thread rule: a plain value.
struct NORVEX_API Progress {
  std::string_view file;   // the file being read
  std::string_view table;  // the table it becomes
  int pass = 1;            // 1: reading types, 2: writing rows
  std::uint64_t bytes_done = 0;
  std::uint64_t bytes_total = 0;  // the file's size
  std::uint64_t rows = 0;         // rows of this pass so far
  bool finished = false;          // the last report of this file's pass
};

/// How files are read. Thread rule: a plain value.
struct NORVEX_API LoadOptions {
  bool skip_bad_rows = false;  // skip malformed rows (counted) instead of failing
  HeaderMode header = HeaderMode::detect;
  /// Largest file accepted; 0 lifts the limit.
  std::uint64_t max_file_bytes = std::uint64_t{8} << 30;
  /// Called after every chunk of every pass, on the loading thread.
  std::function<void(const Progress&)> progress;
  /// Python with openpyxl for workbooks; empty: $NORVEX_PYTHON, else the build's python3.
  std::string python_executable;
  /// Numbers are written with a decimal comma (otherwise decided per column from its values).
  bool decimal_comma = false;
  /// Dates whose day and month order the values leave open are read in this order.
  DateOrder date_order = DateOrder::detect;
  /// Types the user chose; every value of such a column must read as its type.
  std::vector<ColumnTypeOverride> column_types;
  /// The workbook reader's limits: memory, and seconds of running.
  std::uint64_t workbook_memory_bytes = std::uint64_t{2} << 30;
  unsigned workbook_seconds = 600;
};

struct NORVEX_API ColumnReport {
  std::string name;    // the column's name in the table
  std::string header;  // as the file wrote it (empty for a file without a header)
  ColumnType type = ColumnType::text;
  std::string note;  // how its values were read ("decimal comma, thousands '.'"), or why not
};

/// What became of one file (or one sheet). Thread rule: a plain value.
struct NORVEX_API TableReport {
  std::string name;
  std::filesystem::path source;
  std::string sheet;     // a workbook's sheet, else empty
  std::string format;    // "csv", "tsv", "jsonl", "xlsx"
  char delimiter = ',';  // of CSV and TSV
  bool header = false;   // whether the first row named the columns
  /// "utf-8"; "windows-1252" when some values are not UTF-8 (only those are read so);
  /// "utf-16le", "utf-16be", "utf-32le", "utf-32be" after a byte-order mark.
  std::string encoding;
  std::uint64_t recoded_values = 0;  // values read as Windows-1252
  std::vector<ColumnReport> columns;
  std::uint64_t rows = 0;
  std::uint64_t skipped_rows = 0;
  std::vector<std::uint64_t> skipped_lines;  // the first few, 1-based (a sheet's rows)
  /// What the model and the user are told about the table: where it came from, how columns
  /// were read, what the reader met (formulas without a value). One sentence each.
  std::vector<std::string> notes;
};

using LoadReport = std::vector<TableReport>;

/// Reads the files and infers their tables (names, columns, types, row counts) without
/// writing anything. Throws ArgumentError (missing or oversized file, unknown format,
/// duplicate table name) and ValueError (malformed row, naming file and line; unreadable
/// workbook, with what to install when Python or openpyxl is missing).
[[nodiscard]] NORVEX_API LoadReport inspect_files(const std::vector<FileSpec>& files,
                                                  const LoadOptions& options = {});

/// Loads the files into a new SQLite database at `database` (which must not exist), in one
/// transaction. On failure nothing is left at `database`. Throws as inspect_files, and
/// DatabaseError when SQLite fails.
NORVEX_API LoadReport load_files(const std::vector<FileSpec>& files,
                                 const std::filesystem::path& database,
                                 const LoadOptions& options = {});

/// Has SIGINT, SIGTERM, SIGHUP and SIGQUIT (those still at their default action) remove the
/// files a load is making, its temporary database included, before the program ends as the
/// signal would have ended it. For programs; call once at start.
NORVEX_API void remove_partial_files_on_signals();

/// Files loaded into a database for questions: a temporary SQLite file removed when this
/// object goes, or a kept one. Thread rule: one owner; open() gives a facade that is safe
/// for concurrent use.
class NORVEX_API FileDatabase {
 public:
  /// Loads the files into a temporary database, or into `save_to` (kept; it must not exist,
  /// and a file that appears there meanwhile is not replaced). Throws as load_files;
  /// ArgumentError when `save_to` exists.
  static FileDatabase load(const std::vector<FileSpec>& files, const LoadOptions& options = {},
                           const std::optional<std::filesystem::path>& save_to = {});

  FileDatabase(FileDatabase&& other) noexcept;
  FileDatabase& operator=(FileDatabase&& other) noexcept;
  FileDatabase(const FileDatabase&) = delete;
  FileDatabase& operator=(const FileDatabase&) = delete;
  ~FileDatabase();

  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
  /// "sqlite:////absolute/path": the facade's URI of the database.
  [[nodiscard]] std::string uri() const;
  [[nodiscard]] const LoadReport& report() const noexcept { return report_; }
  /// The read-only facade over the database. Throws DatabaseError.
  [[nodiscard]] std::shared_ptr<sql::CustomSQLDatabase> open(sql::Options options = {}) const;

 private:
  FileDatabase() = default;
  std::filesystem::path path_;
  std::filesystem::path temporary_dir_;  // removed with everything in it; empty when kept
  LoadReport report_;
  std::shared_ptr<void> cleanup_;  // the temporary folder's removal on signals
};

}  // namespace norvex::files

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
};

struct NORVEX_API ColumnReport {
  std::string name;    // the column's name in the table
  std::string header;  // as the file wrote it (empty for a file without a header)
  ColumnType type = ColumnType::text;
};

/// What became of one file (or one sheet). Thread rule: a plain value.
struct NORVEX_API TableReport {
  std::string name;
  std::filesystem::path source;
  std::string sheet;     // a workbook's sheet, else empty
  std::string format;    // "csv", "tsv", "jsonl", "xlsx"
  char delimiter = ',';  // of CSV and TSV
  bool header = false;   // whether the first row named the columns
  std::string encoding;  // "utf-8", or "windows-1252" when the bytes are not UTF-8
  std::vector<ColumnReport> columns;
  std::uint64_t rows = 0;
  std::uint64_t skipped_rows = 0;
  std::vector<std::uint64_t> skipped_lines;  // the first few, 1-based
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

/// Files loaded into a database for questions: a temporary SQLite file removed when this
/// object goes, or a kept one. Thread rule: one owner; open() gives a facade that is safe
/// for concurrent use.
class NORVEX_API FileDatabase {
 public:
  /// Loads the files into a temporary database, or into `save_to` (kept; it must not exist).
  /// Throws as load_files; ArgumentError when `save_to` exists.
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
};

}  // namespace norvex::files

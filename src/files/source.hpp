#pragma once
// The loader's inner parts: cells as the readers hand them over, what a value may be, and
// the readers of each format. Every reader streams: one row in memory at a time.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/files/files.hpp"

namespace norvex::files::detail {

// What the file itself says about a value: CSV says nothing; JSON tells numbers, booleans
// and strings apart, and a JSON string is text even when it holds digits.
enum class Hint : std::uint8_t { any, number, boolean, string, nested };

struct Cell {
  std::string_view text;  // empty: NULL, unless `empty_string`
  Hint hint = Hint::any;
  bool empty_string = false;  // a quoted "" in CSV, "" in JSON: a text that is empty
};

// The most fields a row may have: SQLite's limit on the columns of a table.
constexpr std::size_t kMaxFields = 2000;
// The most bytes of one row (CSV) or line (JSON Lines).
constexpr std::size_t kMaxRowBytes = std::size_t{16} << 20;
// The deepest nesting of a JSON value.
constexpr int kMaxJsonDepth = 64;

// Bit set of the column types a value fits; a column's type is the first type (in the order
// of ColumnType) that every one of its values fits.
using TypeMask = std::uint8_t;
constexpr TypeMask kAllTypes = 0x1f;
[[nodiscard]] TypeMask types_of(const Cell& cell);
[[nodiscard]] ColumnType type_of(TypeMask mask, bool any_value);

// A number as people write it, read with a decimal comma or point: thousands in groups of
// three (',' '.' '\'' or a blank, whichever is not the decimal mark), a currency symbol or
// code before or after, a % sign (the value becomes a fraction), negatives with '-', U+2212,
// parentheses or a trailing '-'. False when the text does not read so, or would not be
// exact: integers beyond 64 bits, decimals with more digits than a double keeps.
struct Number {
  std::int64_t integer = 0;
  double real = 0;
  bool integral = false;  // no fraction and no %: `integer` holds the value
  bool has_fraction = false;
  bool percent = false;
  bool grouped = false;
  std::string_view currency;   // as written: "$", "EUR"
  std::string_view separator;  // of the thousands, when grouped
};
[[nodiscard]] bool read_number(std::string_view text, bool comma, Number& out);

// Dates as d.m.yyyy, d/m/yyyy, m/d/yyyy, yyyy/m/d (also with '-'), each with an optional
// HH:MM[:SS]. date_orders() returns the orders the text reads in (kDmy | kMdy | kYmd).
constexpr unsigned kDmy = 1;
constexpr unsigned kMdy = 2;
constexpr unsigned kYmd = 4;
struct DateParts {
  std::array<int, 3> dmy{}, mdy{}, ymd{};  // each as year, month, day
  bool has_time = false;
  int hour = 0, minute = 0, second = 0;
};
[[nodiscard]] unsigned date_orders(std::string_view text, DateParts& parts);
// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" into `out`.
void iso_date(const DateParts& parts, unsigned order, std::string& out);

// An ISO timestamp with a UTC offset ("Z", "+02:00", "-0500") written in UTC as
// "YYYY-MM-DD HH:MM:SS[.fraction]". False for a timestamp without an offset.
[[nodiscard]] bool utc_timestamp(std::string_view text, std::string& out);

// What the rest of a file says about its conventions.
struct FileHints {
  bool decimal_comma = false;  // --decimal-comma
  int file_decimal = 0;        // other columns or the ';' delimiter: 1 comma, -1 point
  unsigned date_order = 0;     // --date-order
  unsigned file_order = 0;     // other date columns
};

// How one column's values read, gathered in the first pass; decide() picks the convention a
// column is converted with, or says why it stays text.
class ColumnEvidence {
 public:
  enum class Kind : std::uint8_t { plain, number, date };
  struct Reading {
    Kind kind = Kind::plain;
    ColumnType type = ColumnType::text;  // of number and date readings
    bool comma = false;
    unsigned order = 0;
    bool utc = false;        // dates: timestamps with offsets, written in UTC
    bool ambiguous = false;  // more evidence could decide it
    bool evidence = false;   // decided by the column's own values
    std::string note;
  };
  // Every non-empty value with its plain type mask (types_of). Integers, the common case,
  // are told apart here.
  void observe(std::string_view text, TypeMask plain) {
    if (plain & TypeMask(1u << static_cast<unsigned>(ColumnType::integer))) {
      date_dead_ = true;
      ++numbers_;
      return;
    }
    observe_other(text, plain);
  }
  // `plain` is the column's type from the plain masks.
  [[nodiscard]] Reading decide(const FileHints& hints, ColumnType plain) const;

 private:
  void observe_other(std::string_view text, TypeMask plain);
  std::uint64_t converted_ = 0;  // values that only a convention reads
  std::uint64_t numbers_ = 0;
  std::uint64_t percents_ = 0;
  bool number_dead_ = false;
  bool date_dead_ = false;
  bool all_point_ = true;
  bool all_comma_ = true;
  bool differ_ = false;
  bool fraction_point_ = false;
  bool fraction_comma_ = false;
  bool mixed_currencies_ = false;
  bool too_big_ = false;
  bool time_ = false;
  bool date_differ_ = false;
  std::uint64_t zoned_ = 0;  // plain timestamps with a UTC offset, and without
  std::uint64_t unzoned_ = 0;
  bool offsets_differ_ = false;
  std::string first_offset_;
  unsigned orders_ = kDmy | kMdy | kYmd;
  std::string_view currency_;  // static text
  std::string separator_point_;
  std::string separator_comma_;
  std::string example_;
  std::string date_example_;
};

// The number written by the `width` digits at `at`, or -1.
[[nodiscard]] int digits_at(std::string_view text, std::size_t at, std::size_t width);

[[nodiscard]] bool valid_utf8(std::string_view text);
// A text from a file as one line that is safe to show: controls, line separators and other
// invisible characters become spaces, and it is cut after `max_bytes` ("..." then).
[[nodiscard]] std::string printable_text(std::string_view text, std::size_t max_bytes);
// Windows-1252 (with Latin-1 for its five unassigned bytes) to UTF-8.
void windows_1252_to_utf8(std::string_view text, std::string& out);

// A row as read: its first physical line (1-based) and its cells.
using RowSink = std::function<void(std::uint64_t line, const std::vector<Cell>& cells)>;
// Bytes read so far; called after each chunk.
using ChunkSink = std::function<void(std::uint64_t bytes)>;

// A malformed row or line and why: throws (the load stops) or returns (the row is skipped).
using BadLineSink = std::function<void(std::uint64_t line, const std::string& why)>;

// Reads a delimited text file with libcsv in strict mode: a UTF-8 byte-order mark is
// skipped, blank lines are ignored, rows are reported with the line they start on. A stray
// quote, more than kMaxFields fields or kMaxRowBytes bytes go to `bad_row`. Throws ValueError
// naming `name` and the line for a quoted field that never ends.
void scan_delimited(const std::filesystem::path& path, const std::string& name, char delimiter,
                    const RowSink& on_row, const BadLineSink& bad_row, const ChunkSink& on_chunk);

// The delimiter of a text file: ',', ';', '\t' or '|', whichever splits the first records
// into the same number of fields; `fallback` when none does.
[[nodiscard]] char sniff_delimiter(const std::filesystem::path& path, char fallback);

// One member of a JSON object as a cell: a scalar's text as written (numbers keep their
// digits), a nested value in compact JSON.
struct JsonField {
  std::string key;
  std::string text;
  Hint hint = Hint::any;
  bool null = false;
  [[nodiscard]] Cell cell() const {
    if (null) return {};
    return {text, hint, text.empty()};
  }
};

// Reads JSON Lines: each non-blank line's object, with the line's number, parsed without
// recursion. A line that is not a JSON object, nests deeper than kMaxJsonDepth or is longer
// than kMaxRowBytes goes to `bad_line` with the reason.
using ObjectSink = std::function<void(std::uint64_t line, const std::vector<JsonField>& object)>;
void scan_json_lines(const std::filesystem::path& path, const std::string& name,
                     const ObjectSink& on_object, const BadLineSink& bad_line,
                     const ChunkSink& on_chunk);

// The encoding a byte-order mark names ("utf-16le", "utf-16be", "utf-32le", "utf-32be"),
// or empty. UTF-8's mark is not among them: the readers skip it.
[[nodiscard]] std::string wide_encoding(const std::filesystem::path& path);
// Writes the file as UTF-8 to `out`. Throws ValueError at the first invalid sequence.
void transcode_to_utf8(const std::filesystem::path& path, const std::string& name,
                       const std::string& encoding, const std::filesystem::path& out);

// A workbook's sheets written as CSV files into `out_dir` by Python with openpyxl, started
// confined in `out_dir` with limits on time, memory and the workbook's expanded size. Each
// record's first field is its row in the sheet; rows may be shorter than the widest.
struct Sheet {
  std::string name;
  std::filesystem::path csv;
  std::uint64_t formulas_without_value = 0;  // cells whose formula was never calculated
  std::string first_formula_cell;            // the first of them, e.g. "C7"
};
struct WorkbookLimits {
  std::uint64_t expanded_bytes = 0;  // of all parts of the workbook together; 0: none
  std::uint64_t memory_bytes = 0;
  unsigned seconds = 0;
};
[[nodiscard]] std::vector<Sheet> convert_workbook(const std::filesystem::path& path,
                                                  const std::filesystem::path& out_dir,
                                                  const std::string& python_executable,
                                                  const WorkbookLimits& limits,
                                                  const std::filesystem::path& shown);

// Registers a file, or a folder with everything in it, for removal should a signal end the
// program while it exists (see remove_partial_files_on_signals); forgotten when this goes.
class Cleanup {
 public:
  Cleanup(const std::filesystem::path& path, bool tree);
  ~Cleanup();
  Cleanup(const Cleanup&) = delete;
  Cleanup& operator=(const Cleanup&) = delete;

 private:
  int slot_ = -1;
};

}  // namespace norvex::files::detail

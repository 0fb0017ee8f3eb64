#pragma once
// The loader's inner parts: cells as the readers hand them over, what a value may be, and
// the readers of each format. Every reader streams: one row in memory at a time.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "norvex/files/files.hpp"

namespace norvex::files::detail {

// What the file itself says about a value: CSV says nothing; JSON tells numbers, booleans
// and strings apart, and a JSON string is text even when it holds digits.
enum class Hint : std::uint8_t { any, number, boolean, string, nested };

struct Cell {
  std::string_view text;  // empty: NULL
  Hint hint = Hint::any;
};

// Bit set of the column types a value fits; a column's type is the first type (in the order
// of ColumnType) that every one of its values fits.
using TypeMask = std::uint8_t;
constexpr TypeMask kAllTypes = 0x1f;
[[nodiscard]] TypeMask types_of(const Cell& cell);
[[nodiscard]] ColumnType type_of(TypeMask mask, bool any_value);

[[nodiscard]] bool valid_utf8(std::string_view text);
// Windows-1252 (with Latin-1 for its five unassigned bytes) to UTF-8.
void windows_1252_to_utf8(std::string_view text, std::string& out);

// A row as read: its first physical line (1-based) and its cells.
using RowSink = std::function<void(std::uint64_t line, const std::vector<Cell>& cells)>;
// Bytes read so far; called after each chunk.
using ChunkSink = std::function<void(std::uint64_t bytes)>;

// Reads a delimited text file with libcsv: a UTF-8 byte-order mark is skipped, blank lines
// are ignored, rows are reported with the line they start on. Throws ValueError naming the
// line for a quoted field that never ends.
void scan_delimited(const std::filesystem::path& path, char delimiter, const RowSink& on_row,
                    const ChunkSink& on_chunk);

// The delimiter of a text file: ',', ';', '\t' or '|', whichever splits the first records
// into the same number of fields; `fallback` when none does.
[[nodiscard]] char sniff_delimiter(const std::filesystem::path& path, char fallback);

// Reads JSON Lines: each non-blank line's object, with the line's number. A line that is not
// a JSON object goes to `bad_line` with the reason (which throws, or returns to skip it).
using ObjectSink = std::function<void(std::uint64_t line, const nlohmann::ordered_json& object)>;
using BadLineSink = std::function<void(std::uint64_t line, const std::string& why)>;
void scan_json_lines(const std::filesystem::path& path, const ObjectSink& on_object,
                     const BadLineSink& bad_line, const ChunkSink& on_chunk);

// A workbook's sheets written as CSV files into `out_dir` by Python with openpyxl.
struct Sheet {
  std::string name;
  std::filesystem::path csv;
};
[[nodiscard]] std::vector<Sheet> convert_workbook(const std::filesystem::path& path,
                                                  const std::filesystem::path& out_dir,
                                                  const std::string& python_executable);

}  // namespace norvex::files::detail

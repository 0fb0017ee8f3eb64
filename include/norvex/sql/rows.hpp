#pragma once
/// Result cells and their rendering as a Python literal: the text form in which query
/// results reach the chat model, which often pastes it into analysis code.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::sql {

/// One result cell, already mapped from the engine's type to the Python type it stands for.
/// Dates and times are held as ISO text ("2021-01-31", "13:05:07.25",
/// "2021-01-31 13:05:07+01:00"); a text that does not parse as one is rendered as a str.
/// Thread rule: a plain value.
struct NORVEX_API Value {
  enum class Kind : std::uint8_t {
    null,
    boolean,
    integer,    // `integer`, or `text` (decimal digits) when it does not fit in 64 bits
    real,       // `real`
    decimal,    // `text`: the engine's digits, rendered Decimal('...')
    text,       // `text`: UTF-8
    bytes,      // `text`: raw bytes
    date,       // `text`
    time,       // `text`
    timestamp,  // `text`, with an optional "+hh[:mm]" offset
  };
  Kind kind = Kind::null;
  bool boolean = false;
  std::int64_t integer = 0;
  double real = 0.0;
  std::string text;

  static Value null_value() { return {}; }
  static Value of_bool(bool b) { return {Kind::boolean, b, 0, 0.0, {}}; }
  static Value of_int(std::int64_t i) { return {Kind::integer, false, i, 0.0, {}}; }
  static Value of_real(double d) { return {Kind::real, false, 0, d, {}}; }
  static Value of(Kind kind, std::string text) { return {kind, false, 0, 0.0, std::move(text)}; }
};

using Row = std::vector<Value>;

/// Where rendering stops. Zero means "no limit" for either bound. Thread rule: a plain value.
struct NORVEX_API RenderLimits {
  std::size_t max_rows = 1000;
  std::size_t max_bytes = 256 * 1024;
};

/// Builds the Python-literal text of a result row by row: "[(1, 'AC/DC'), ...]", or with
/// column labels "[{'ArtistId': 1, 'Name': 'AC/DC'}, ...]". Rows past the limits are counted,
/// not rendered, and a trailing Python comment says how many were left out, so the text
/// still parses. No rows at all give the empty text.
/// Thread rule: one renderer per result; not shared between threads.
class NORVEX_API RowRenderer {
 public:
  RowRenderer(std::vector<std::string> columns, bool include_columns, RenderLimits limits);

  /// Adds the next row (as many cells as columns). Returns false once the limits are reached
  /// (later rows are only counted).
  bool add(const Row& row);
  /// A hint: about this many rows will be rendered (space is reserved after the first).
  void expect_rows(std::size_t rows) noexcept { expected_rows_ = rows; }
  /// The finished text. The renderer is spent afterwards.
  std::string finish();

  [[nodiscard]] std::size_t rows_seen() const noexcept { return seen_; }

 private:
  std::vector<std::string> labels_;  // column labels already rendered as Python str literals
  bool include_columns_;
  RenderLimits limits_;
  std::string out_;
  std::size_t expected_rows_ = 0;
  std::size_t seen_ = 0;
  std::size_t shown_ = 0;
  bool full_ = false;
};

/// All rows at once; see RowRenderer.
[[nodiscard]] NORVEX_API std::string render_rows(const std::vector<std::string>& columns,
                                                 const std::vector<Row>& rows, bool include_columns,
                                                 RenderLimits limits = {});

/// Appends Python's repr() of one cell (None, True, 42, 0.1, Decimal('0.99'), 'it\'s' as
/// "it's", b'\x00', datetime.date(2021, 1, 1), datetime.time(13, 5), datetime.datetime(...)).
NORVEX_API void append_python_literal(std::string& out, const Value& value);

/// Appends Python's repr() of a str.
NORVEX_API void append_python_str(std::string& out, std::string_view utf8);

/// The plain text of a cell as Python's str() would print it (None, True, 0.99, 2021-01-01,
/// the text itself): the form of the sample rows in table information.
[[nodiscard]] NORVEX_API std::string plain_text(const Value& value);

}  // namespace norvex::sql

#pragma once
/// Reading back the Python-literal text of a query result (the inverse of rows.hpp's
/// renderer), for showing results to people as a table.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::sql {

/// What a cell read back was written as, so that None and the text 'None', or 1 and '1',
/// stay apart. Integers, floats, Decimal(...) and float('nan') are all numbers.
enum class CellKind : std::uint8_t { null, boolean, number, text, bytes, temporal };

/// A result read back: column labels (empty when the rows were tuples), each row's cells as
/// Python's str() prints them (None, True, 0.99, 2021-01-01, the text itself), how many rows
/// the renderer's trailing comment says were left out, and the kind of each cell (same shape
/// as `rows`).
/// Thread rule: a plain value.
struct NORVEX_API ParsedRows {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  std::size_t rows_left_out = 0;
  std::vector<std::vector<CellKind>> kinds;  // last, so positional initialisers still fit
};

/// Reads "[(1, 'AC/DC'), ...]" or "[{'Id': 1, 'Name': 'AC/DC'}, ...]" with the literals the
/// renderer writes (None, True/False, numbers, str and bytes with escapes, Decimal('...'),
/// datetime.date/time/datetime(...)) and an optional trailing "# N more rows ..." comment.
/// Returns nothing for text of any other shape (an error message, a ragged result). Never
/// throws but std::bad_alloc.
[[nodiscard]] NORVEX_API std::optional<ParsedRows> parse_python_rows(std::string_view text);

/// The rows as an aligned text table: a header and a rule when there are column labels,
/// cells padded to the widest cell of their column (by code points), two blanks between
/// columns, and a closing line when rows were left out. Never throws but std::bad_alloc.
[[nodiscard]] NORVEX_API std::string format_table(const ParsedRows& rows);

}  // namespace norvex::sql

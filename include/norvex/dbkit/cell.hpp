#pragma once
/// Result values of the database tool: one Cell per value, MySQL rows keyed by column label
/// in column order, PostgreSQL rows by position.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::dbkit {

/// One value of a result row, typed after the column it came from. Decimals keep their exact
/// digits; dates, times and timestamps keep the server's ISO text ("2021-01-02",
/// "13:45:00", "2021-01-02 03:04:05"); bytes hold the raw octets.
/// Thread rule: a plain value; concurrent const use is safe.
class NORVEX_API Cell {
 public:
  enum class Kind { null, boolean, integer, floating, decimal, text, bytes, date, time, timestamp };

  /// A NULL.
  Cell() = default;

  static Cell null() { return {}; }
  static Cell boolean(bool value) { return Cell(Kind::boolean, value); }
  static Cell integer(std::int64_t value) { return Cell(Kind::integer, value); }
  static Cell floating(double value) { return Cell(Kind::floating, value); }
  static Cell decimal(std::string digits) { return Cell(Kind::decimal, std::move(digits)); }
  static Cell text(std::string value) { return Cell(Kind::text, std::move(value)); }
  static Cell bytes(std::string octets) { return Cell(Kind::bytes, std::move(octets)); }
  static Cell date(std::string iso) { return Cell(Kind::date, std::move(iso)); }
  static Cell time(std::string iso) { return Cell(Kind::time, std::move(iso)); }
  static Cell timestamp(std::string iso) { return Cell(Kind::timestamp, std::move(iso)); }

  [[nodiscard]] Kind kind() const noexcept { return kind_; }
  [[nodiscard]] bool is_null() const noexcept { return kind_ == Kind::null; }

  /// The value of a boolean cell. Throws ValueError for any other kind.
  [[nodiscard]] bool as_bool() const;
  /// The value of an integer cell. Throws ValueError for any other kind.
  [[nodiscard]] std::int64_t as_integer() const;
  /// An integer, floating or decimal cell as a double. Throws ValueError for other kinds.
  [[nodiscard]] double as_double() const;
  /// The stored text of a text, decimal, bytes, date, time or timestamp cell. Throws
  /// ValueError for NULL, boolean, integer and floating cells.
  [[nodiscard]] const std::string& as_text() const;

  /// Printable form: NULL, true/false, digits, the shortest exact float text, the text
  /// itself, bytes as \x followed by hex digits.
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const Cell&, const Cell&) = default;

 private:
  using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string>;
  Cell(Kind kind, Value value) : kind_(kind), value_(std::move(value)) {}

  Kind kind_ = Kind::null;
  Value value_;
};

/// The kind's name in lower case ("null", "integer", ...).
[[nodiscard]] NORVEX_API std::string_view to_string(Cell::Kind kind) noexcept;

NORVEX_API std::ostream& operator<<(std::ostream& out, const Cell& cell);

/// A MySQL result row: column label → cell, in column order, each label once.
/// Thread rule: a plain value; concurrent const use is safe.
class NORVEX_API Row {
 public:
  using value_type = std::pair<std::string, Cell>;
  using const_iterator = std::vector<value_type>::const_iterator;

  Row() = default;
  /// Builds a row from (label, cell) pairs; a repeated label keeps its first position and
  /// the last cell.
  Row(std::initializer_list<value_type> cells);

  /// The cell under `label`. Throws ArgumentError naming the label when there is none.
  [[nodiscard]] const Cell& at(std::string_view label) const;
  [[nodiscard]] const Cell& operator[](std::string_view label) const { return at(label); }
  /// The cell under `label`, or nullptr.
  [[nodiscard]] const Cell* find(std::string_view label) const noexcept;

  /// Sets the cell under `label`: replaced in place when present, appended otherwise.
  void set(std::string label, Cell cell);

  [[nodiscard]] std::vector<std::string> labels() const;
  [[nodiscard]] std::size_t size() const noexcept { return cells_.size(); }
  [[nodiscard]] bool empty() const noexcept { return cells_.empty(); }
  [[nodiscard]] const_iterator begin() const noexcept { return cells_.begin(); }
  [[nodiscard]] const_iterator end() const noexcept { return cells_.end(); }

  friend bool operator==(const Row&, const Row&) = default;

 private:
  std::vector<value_type> cells_;
};

/// Prints {label: value, ...} in column order.
NORVEX_API std::ostream& operator<<(std::ostream& out, const Row& row);

/// A PostgreSQL result row: the cells in column order, without labels.
using PgRow = std::vector<Cell>;

}  // namespace norvex::dbkit

#include "norvex/dbkit/cell.hpp"

#include <array>
#include <charconv>
#include <ostream>
#include <system_error>

#include "norvex/error.hpp"

namespace norvex::dbkit {
namespace {

[[noreturn]] void wrong_kind(Cell::Kind actual, std::string_view wanted) {
  throw ValueError("a " + std::string(to_string(actual)) + " cell has no " + std::string(wanted) +
                   " value");
}

// Shortest text that reads back as the same double, with ".0" for whole numbers so a
// float never prints like an integer.
std::string float_text(double value) {
  std::array<char, 64> buffer{};
  const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  std::string text(buffer.data(), error == std::errc() ? end : buffer.data());
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";  // n: inf, nan
  return text;
}

std::string hex_text(std::string_view octets) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "\\x";
  text.reserve(2 + octets.size() * 2);
  for (const char c : octets) {
    const auto byte = static_cast<unsigned char>(c);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

}  // namespace

bool Cell::as_bool() const {
  if (kind_ != Kind::boolean) wrong_kind(kind_, "boolean");
  return std::get<bool>(value_);
}

std::int64_t Cell::as_integer() const {
  if (kind_ != Kind::integer) wrong_kind(kind_, "integer");
  return std::get<std::int64_t>(value_);
}

double Cell::as_double() const {
  switch (kind_) {
    case Kind::integer:
      return static_cast<double>(std::get<std::int64_t>(value_));
    case Kind::floating:
      return std::get<double>(value_);
    case Kind::decimal: {
      const auto& digits = std::get<std::string>(value_);
      double value = 0;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (error != std::errc() || end != digits.data() + digits.size()) {
        throw ValueError("the decimal '" + digits + "' is not a number");
      }
      return value;
    }
    default:
      wrong_kind(kind_, "numeric");
  }
}

const std::string& Cell::as_text() const {
  if (!std::holds_alternative<std::string>(value_)) wrong_kind(kind_, "text");
  return std::get<std::string>(value_);
}

std::string Cell::to_string() const {
  switch (kind_) {
    case Kind::null:
      return "NULL";
    case Kind::boolean:
      return std::get<bool>(value_) ? "true" : "false";
    case Kind::integer:
      return std::to_string(std::get<std::int64_t>(value_));
    case Kind::floating:
      return float_text(std::get<double>(value_));
    case Kind::bytes:
      return hex_text(std::get<std::string>(value_));
    default:
      return std::get<std::string>(value_);
  }
}

std::string_view to_string(Cell::Kind kind) noexcept {
  switch (kind) {
    case Cell::Kind::null:
      return "null";
    case Cell::Kind::boolean:
      return "boolean";
    case Cell::Kind::integer:
      return "integer";
    case Cell::Kind::floating:
      return "floating";
    case Cell::Kind::decimal:
      return "decimal";
    case Cell::Kind::text:
      return "text";
    case Cell::Kind::bytes:
      return "bytes";
    case Cell::Kind::date:
      return "date";
    case Cell::Kind::time:
      return "time";
    case Cell::Kind::timestamp:
      return "timestamp";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, const Cell& cell) {
  return out << cell.to_string();
}

Row::Row(std::initializer_list<value_type> cells) {
  for (const auto& [label, cell] : cells) set(label, cell);
}

const Cell& Row::at(std::string_view label) const {
  if (const Cell* cell = find(label)) return *cell;
  throw ArgumentError("the row has no column '" + std::string(label) + "'");
}

const Cell* Row::find(std::string_view label) const noexcept {
  for (const auto& [name, cell] : cells_) {
    if (name == label) return &cell;
  }
  return nullptr;
}

void Row::set(std::string label, Cell cell) {
  for (auto& [name, existing] : cells_) {
    if (name == label) {
      existing = std::move(cell);
      return;
    }
  }
  cells_.emplace_back(std::move(label), std::move(cell));
}

std::vector<std::string> Row::labels() const {
  std::vector<std::string> names;
  names.reserve(cells_.size());
  for (const auto& entry : cells_) names.push_back(entry.first);
  return names;
}

std::ostream& operator<<(std::ostream& out, const Row& row) {
  out << '{';
  bool first = true;
  for (const auto& [label, cell] : row) {
    if (!first) out << ", ";
    first = false;
    out << label << ": " << cell;
  }
  return out << '}';
}

}  // namespace norvex::dbkit

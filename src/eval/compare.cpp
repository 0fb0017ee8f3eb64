// Comparing a predicted result with the gold one, as execution accuracy does.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"

namespace norvex::eval {
namespace {

using base::iequals;

using sql::CellKind;

// A cell reduced to what the comparison looks at. Dates, bytes and texts compare by their
// text, so a date an engine returns as text still equals the same date returned as a date.
struct Cell {
  enum class Class : std::uint8_t { null, number, text };
  Class cls = Class::null;
  double number = 0;
  const std::string* text = nullptr;
};

Cell cell_of(const std::string& text, CellKind kind) {
  switch (kind) {
    case CellKind::null:
      return {};
    case CellKind::boolean:
      return {Cell::Class::number, text == "True" ? 1.0 : 0.0, nullptr};
    case CellKind::number: {
      // strtod reads the digits of integers, floats and decimals, and nan/inf.
      char* end = nullptr;
      const double value = std::strtod(text.c_str(), &end);
      if (end != nullptr && *end == '\0' && end != text.c_str()) {
        return {Cell::Class::number, value, nullptr};
      }
      return {Cell::Class::text, 0, &text};
    }
    default:
      return {Cell::Class::text, 0, &text};
  }
}

using Table = std::vector<std::vector<Cell>>;

Table table_of(const ResultRows& rows) {
  Table out(rows.cells.size());
  for (std::size_t r = 0; r < rows.cells.size(); ++r) {
    out[r].reserve(rows.cells[r].size());
    for (std::size_t c = 0; c < rows.cells[r].size(); ++c) {
      out[r].push_back(cell_of(rows.cells[r][c], rows.kinds[r][c]));
    }
  }
  return out;
}

// A strict order for sorting (exact; NaN after every other number).
int order(const Cell& a, const Cell& b) {
  if (a.cls != b.cls) return a.cls < b.cls ? -1 : 1;
  switch (a.cls) {
    case Cell::Class::null:
      return 0;
    case Cell::Class::number: {
      const bool an = std::isnan(a.number);
      const bool bn = std::isnan(b.number);
      if (an || bn) return an == bn ? 0 : (an ? 1 : -1);
      return a.number < b.number ? -1 : (b.number < a.number ? 1 : 0);
    }
    case Cell::Class::text:
      return a.text->compare(*b.text) < 0 ? -1 : (*a.text == *b.text ? 0 : 1);
  }
  return 0;
}

bool row_less(const std::vector<Cell>& a, const std::vector<Cell>& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (const int o = order(a[i], b[i]); o != 0) return o < 0;
  }
  return a.size() < b.size();
}

bool equal(const Cell& a, const Cell& b, double tolerance) {
  if (a.cls != b.cls) return false;
  switch (a.cls) {
    case Cell::Class::null:
      return true;
    case Cell::Class::number: {
      if (std::isnan(a.number) || std::isnan(b.number)) {
        return std::isnan(a.number) && std::isnan(b.number);
      }
      if (a.number == b.number) return true;
      return std::abs(a.number - b.number) <=
             tolerance * std::max(std::abs(a.number), std::abs(b.number));
    }
    case Cell::Class::text:
      return *a.text == *b.text;
  }
  return false;
}

bool rows_equal(const std::vector<Cell>& a, const std::vector<Cell>& b, double tolerance) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!equal(a[i], b[i], tolerance)) return false;
  }
  return true;
}

// Sorted lists compared position by position; when near-equal numbers sorted differently,
// a greedy search for a partner of each row settles it (bounded, as it is quadratic).
bool same_multiset(Table a, Table b, double tolerance) {
  if (a.size() != b.size()) return false;
  std::sort(a.begin(), a.end(), row_less);
  std::sort(b.begin(), b.end(), row_less);
  bool pairwise = true;
  for (std::size_t i = 0; i < a.size() && pairwise; ++i) {
    pairwise = rows_equal(a[i], b[i], tolerance);
  }
  if (pairwise) return true;
  constexpr std::size_t kGreedyLimit = 4000;
  if (a.size() > kGreedyLimit) return false;
  std::vector<bool> used(b.size(), false);
  for (const auto& row : a) {
    bool found = false;
    for (std::size_t j = 0; j < b.size() && !found; ++j) {
      if (!used[j] && rows_equal(row, b[j], tolerance)) used[j] = found = true;
    }
    if (!found) return false;
  }
  return true;
}

Table column(const Table& table, std::size_t index) {
  Table out;
  out.reserve(table.size());
  for (const auto& row : table) out.push_back({row[index]});
  return out;
}

std::string show(const std::vector<std::string>& row) {
  std::string out = "(";
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) out += ", ";
    out += row[i];
  }
  out += ")";
  constexpr std::size_t kMax = 200;
  if (out.size() > kMax) out = out.substr(0, kMax) + "...";
  return out;
}

Comparison differ(std::string_view reason, std::string detail) {
  return {false, reason, std::move(detail)};
}

// Reads a word of an SQL text: letters, digits, '_' and '$'.
bool word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
}

}  // namespace

ResultRows read_rows(std::string_view rendered) {
  ResultRows out;
  if (rendered.find_first_not_of(" \t\r\n") == std::string_view::npos) return out;
  auto parsed = sql::parse_python_rows(rendered);
  if (!parsed) throw ValueError("the result is not a rendered row list");
  if (parsed->rows_left_out > 0) {
    throw ValueError(std::to_string(parsed->rows_left_out) +
                     " rows of the result were left out; it cannot be compared");
  }
  out.columns = parsed->rows.empty() ? 0 : parsed->rows.front().size();
  out.cells = std::move(parsed->rows);
  out.kinds = std::move(parsed->kinds);
  return out;
}

Comparison compare_rows(const ResultRows& gold, const ResultRows& predicted,
                        const CompareOptions& options) {
  const std::size_t gold_count = gold.cells.size();
  const std::size_t predicted_count = predicted.cells.size();
  if (gold_count > 0 && predicted_count > 0 && gold.columns != predicted.columns) {
    return differ(kReasonColumnsDiffer, "gold has " + std::to_string(gold.columns) +
                                            " columns, the prediction " +
                                            std::to_string(predicted.columns));
  }
  if (gold_count != predicted_count) {
    return differ(kReasonRowCountDiffers, "gold has " + std::to_string(gold_count) +
                                              " rows, the prediction " +
                                              std::to_string(predicted_count));
  }
  if (gold_count == 0) return {true, kReasonMatch, {}};

  const Table gold_table = table_of(gold);
  const Table predicted_table = table_of(predicted);
  const double tolerance = options.tolerance;

  // Pair each gold column with the first free predicted column holding the same values.
  std::vector<std::size_t> pairing(gold.columns);
  std::vector<bool> taken(predicted.columns, false);
  std::vector<Table> predicted_columns;
  for (std::size_t j = 0; j < predicted.columns; ++j) {
    predicted_columns.push_back(column(predicted_table, j));
  }
  for (std::size_t i = 0; i < gold.columns; ++i) {
    const Table values = column(gold_table, i);
    bool paired = false;
    // The same position first, so results in the same column order never get reshuffled.
    std::vector<std::size_t> candidates(predicted.columns);
    std::iota(candidates.begin(), candidates.end(), 0);
    if (i < candidates.size()) {
      const auto same = candidates.begin() + static_cast<std::ptrdiff_t>(i);
      std::rotate(candidates.begin(), same, same + 1);
    }
    for (const std::size_t j : candidates) {
      if (taken[j] || !same_multiset(values, predicted_columns[j], tolerance)) continue;
      pairing[i] = j;
      taken[j] = paired = true;
      break;
    }
    if (!paired) {
      return differ(kReasonValuesDiffer,
                    "no predicted column holds the values of gold column " + std::to_string(i + 1));
    }
  }
  Table reordered(predicted_count);
  for (std::size_t r = 0; r < predicted_count; ++r) {
    reordered[r].reserve(gold.columns);
    for (std::size_t i = 0; i < gold.columns; ++i) {
      reordered[r].push_back(predicted_table[r][pairing[i]]);
    }
  }

  if (options.ordered) {
    for (std::size_t r = 0; r < gold_count; ++r) {
      if (rows_equal(gold_table[r], reordered[r], tolerance)) continue;
      if (same_multiset(gold_table, reordered, tolerance)) {
        return differ(kReasonOrderDiffers,
                      "the same rows in another order (from row " + std::to_string(r + 1) + ")");
      }
      return differ(kReasonValuesDiffer,
                    "gold row " + std::to_string(r + 1) + " " + show(gold.cells[r]) + " differs");
    }
    return {true, kReasonMatch, {}};
  }
  if (same_multiset(gold_table, reordered, tolerance)) return {true, kReasonMatch, {}};
  return differ(kReasonValuesDiffer, "the rows differ although every column pairs up");
}

bool has_top_level_order_by(std::string_view sql) noexcept {
  int depth = 0;
  bool after_order = false;  // the previous top-level word was ORDER
  std::size_t i = 0;
  const auto skip_to = [&](std::string_view end) {
    const auto at = sql.find(end, i);
    i = at == std::string_view::npos ? sql.size() : at + end.size();
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`') {
      // A quoted text or name; a doubled quote inside stays inside.
      ++i;
      while (i < sql.size()) {
        if (sql[i] == c) {
          if (i + 1 < sql.size() && sql[i + 1] == c) {
            i += 2;
            continue;
          }
          break;
        }
        ++i;
      }
      ++i;
      after_order = false;
    } else if (c == '[') {
      skip_to("]");
      after_order = false;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      skip_to("\n");
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      i += 2;
      skip_to("*/");
    } else if (c == '(') {
      ++depth;
      ++i;
      after_order = false;
    } else if (c == ')') {
      --depth;
      ++i;
      after_order = false;
    } else if (word_char(c)) {
      const std::size_t start = i;
      while (i < sql.size() && word_char(sql[i])) ++i;
      const std::string_view word = sql.substr(start, i - start);
      if (depth == 0) {
        if (after_order && iequals(word, "BY")) return true;
        after_order = iequals(word, "ORDER");
      }
    } else {
      if (std::isspace(static_cast<unsigned char>(c)) == 0) after_order = false;
      ++i;
    }
  }
  return false;
}

}  // namespace norvex::eval

#include "norvex/sql/row_parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>

#include "convert.hpp"

namespace norvex::sql {
namespace {

using detail::append_utf8;

// A recursive-descent reader over the renderer's grammar; every method returns false on text
// it does not expect, and the caller gives up on the whole result.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool rows(ParsedRows& out) {
    skip();
    if (!take('[')) return false;
    skip();
    if (take(']')) return tail(out);
    do {
      skip();
      if (peek() == ']') break;  // a trailing comma
      std::vector<std::string> cells;
      std::vector<CellKind> kinds;
      std::vector<std::string> labels;
      if (take('(')) {
        if (!sequence(')', cells, kinds, nullptr)) return false;
      } else if (take('{')) {
        if (!sequence('}', cells, kinds, &labels)) return false;
        if (out.rows.empty()) {
          out.columns = labels;
        } else if (labels != out.columns) {
          return false;
        }
      } else {
        return false;
      }
      if (!out.rows.empty() && cells.size() != out.rows.front().size()) return false;
      out.rows.push_back(std::move(cells));
      out.kinds.push_back(std::move(kinds));
      skip();
    } while (take(','));
    skip();
    if (!take(']')) return false;
    return tail(out);
  }

 private:
  [[nodiscard]] char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  bool take(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  void skip() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\t' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  // The renderer's closing comment: "# N more rows were left out: ...".
  bool tail(ParsedRows& out) {
    skip();
    if (pos_ == text_.size()) return true;
    if (!take('#')) return false;
    skip();
    std::size_t left = 0;
    const auto [end, ec] = std::from_chars(text_.data() + pos_, text_.data() + text_.size(), left);
    if (ec == std::errc()) out.rows_left_out = left;
    static_cast<void>(end);
    return text_.find('\n', pos_) == std::string_view::npos;
  }

  // Cells up to `close`; with `labels`, "key: value" pairs.
  bool sequence(char close, std::vector<std::string>& cells, std::vector<CellKind>& kinds,
                std::vector<std::string>* labels) {
    skip();
    if (take(close)) return true;
    do {
      skip();
      if (peek() == close) break;
      if (labels != nullptr) {
        std::string label;
        if (!python_string(label)) return false;
        labels->push_back(std::move(label));
        skip();
        if (!take(':')) return false;
        skip();
      }
      std::string cell;
      if (!value(cell)) return false;
      cells.push_back(std::move(cell));
      kinds.push_back(kind_);
      skip();
    } while (take(','));
    skip();
    return take(close);
  }

  // Reads one cell and sets kind_ to what it was written as.
  bool value(std::string& out) {
    const char c = peek();
    kind_ = CellKind::text;
    if (c == '\'' || c == '"') return python_string(out);
    kind_ = CellKind::bytes;
    if (c == 'b' && pos_ + 1 < text_.size() &&
        (text_[pos_ + 1] == '\'' || text_[pos_ + 1] == '"')) {
      // str() of bytes is their literal.
      const std::size_t start = pos_++;
      std::string ignored;
      if (!python_string(ignored)) return false;
      out = std::string(text_.substr(start, pos_ - start));
      return true;
    }
    kind_ = CellKind::null;
    if (take("None")) return (out = "None"), true;
    kind_ = CellKind::boolean;
    if (take("True")) return (out = "True"), true;
    if (take("False")) return (out = "False"), true;
    kind_ = CellKind::temporal;
    if (take("datetime.datetime(")) return date_time(out, true, true);
    if (take("datetime.date(")) return date_time(out, true, false);
    if (take("datetime.time(")) return date_time(out, false, true);
    kind_ = CellKind::number;
    if (take("Decimal(")) {
      if (!python_string(out) || !take(')')) return false;
      return true;
    }
    return number(out);
  }

  bool number(std::string& out) {
    if (take("float(")) {  // nan and the infinities; str() prints nan, inf, -inf
      if (!python_string(out) || !take(')')) return false;
      return true;
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E') {
        ++pos_;
      } else {
        break;
      }
    }
    if (pos_ == start) return false;
    out = std::string(text_.substr(start, pos_ - start));
    return true;
  }

  bool integer(long long& out) {
    skip();
    const auto [end, ec] = std::from_chars(text_.data() + pos_, text_.data() + text_.size(), out);
    if (ec != std::errc()) return false;
    pos_ = static_cast<std::size_t>(end - text_.data());
    skip();
    return true;
  }

  // datetime.date(y, m, d), datetime.time(h, m[, s[, us]]), datetime.datetime(y, m, d, h,
  // m[, s[, us]][, tzinfo=...]) as str() prints them.
  bool date_time(std::string& out, bool has_date, bool has_time) {
    long long f[7] = {0, 0, 0, 0, 0, 0, 0};
    int count = 0;
    const int first = has_date ? 0 : 3;
    const int last = has_time ? 7 : 3;
    for (int i = first;;) {
      skip();
      if (peek() == ')' || peek() == 't') break;
      if (i >= last || !integer(f[i])) return false;
      ++i;
      ++count;
      if (!take(',')) break;
    }
    const int needed = (has_date ? 3 : 0) + (has_time ? 2 : 0);
    if (count < needed) return false;
    skip();
    std::string offset;
    if (take("tzinfo=")) {
      if (take("datetime.timezone.utc")) {
        offset = "+00:00";
      } else if (take("datetime.timezone(datetime.timedelta(")) {
        long long days = 0;
        long long seconds = 0;
        if (take("days=")) {
          if (!integer(days) || !take(',')) return false;
          skip();
        }
        if (!take("seconds=") || !integer(seconds) || !take(')') || !take(')')) return false;
        long long total = days * 86400 + seconds;
        const char sign = total < 0 ? '-' : '+';
        total = total < 0 ? -total : total;
        char buffer[48];
        std::snprintf(buffer, sizeof buffer, "%c%02lld:%02lld", sign, total / 3600,
                      (total % 3600) / 60);
        offset = buffer;
      } else {
        return false;
      }
      skip();
    }
    if (!take(')')) return false;
    char buffer[96];
    std::string text;
    if (has_date) {
      std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lld", f[0], f[1], f[2]);
      text += buffer;
    }
    if (has_time) {
      if (has_date) text += ' ';
      std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", f[3], f[4], f[5]);
      text += buffer;
      if (f[6] != 0) {
        std::snprintf(buffer, sizeof buffer, ".%06lld", f[6]);
        text += buffer;
      }
    }
    out = text + offset;
    return true;
  }

  bool hex(std::size_t digits, std::uint32_t& out) {
    if (pos_ + digits > text_.size()) return false;
    const auto [end, ec] =
        std::from_chars(text_.data() + pos_, text_.data() + pos_ + digits, out, 16);
    if (ec != std::errc() || end != text_.data() + pos_ + digits) return false;
    pos_ += digits;
    return true;
  }

  bool python_string(std::string& out) {
    const char quote = peek();
    if (quote != '\'' && quote != '"') return false;
    ++pos_;
    out.clear();
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == quote) return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      std::uint32_t cp = 0;
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case '\\':
          out += '\\';
          break;
        case '\'':
          out += '\'';
          break;
        case '"':
          out += '"';
          break;
        case 'x':
          if (!hex(2, cp)) return false;
          append_utf8(out, cp);
          break;
        case 'u':
          if (!hex(4, cp)) return false;
          append_utf8(out, cp);
          break;
        case 'U':
          if (!hex(8, cp)) return false;
          append_utf8(out, cp);
          break;
        default:
          out += '\\';
          out += e;
      }
    }
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  CellKind kind_ = CellKind::null;
};

// Display width in code points; good enough for aligned columns of ordinary text.
std::size_t width(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// Cells are shown on one line.
std::string one_line(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\n', ' ');
  std::replace(out.begin(), out.end(), '\r', ' ');
  std::replace(out.begin(), out.end(), '\t', ' ');
  return out;
}

}  // namespace

std::optional<ParsedRows> parse_python_rows(std::string_view text) {
  ParsedRows out;
  Reader reader(text);
  if (!reader.rows(out)) return std::nullopt;
  return out;
}

std::string format_table(const ParsedRows& rows) {
  std::vector<std::vector<std::string>> lines;
  if (!rows.columns.empty()) lines.push_back(rows.columns);
  for (const auto& row : rows.rows) lines.push_back(row);
  std::vector<std::size_t> widths;
  for (auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      line[i] = one_line(line[i]);
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], width(line[i]));
    }
  }
  std::string out;
  auto emit = [&](const std::vector<std::string>& line) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (i > 0) text += "  ";
      text += line[i];
      if (i + 1 < line.size()) text.append(widths[i] - width(line[i]), ' ');
    }
    out += text + '\n';
  };
  std::size_t first_row = 0;
  if (!rows.columns.empty()) {
    emit(lines[0]);
    std::string rule;
    for (std::size_t i = 0; i < widths.size(); ++i) {
      if (i > 0) rule += "  ";
      rule.append(widths[i], '-');
    }
    out += rule + '\n';
    first_row = 1;
  }
  for (std::size_t i = first_row; i < lines.size(); ++i) emit(lines[i]);
  if (rows.rows_left_out > 0) {
    out += "(" + std::to_string(rows.rows_left_out) + " more rows not shown)\n";
  }
  return out;
}

}  // namespace norvex::sql

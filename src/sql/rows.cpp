#include "norvex/sql/rows.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace norvex::sql {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex_escape(std::string& out, char prefix, std::uint32_t code, int digits) {
  out += '\\';
  out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
}

void append_int(std::string& out, std::int64_t value) {
  // Dates and times are mostly one- and two-digit numbers.
  if (value >= 0 && value < 100) {
    if (value >= 10) out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
    return;
  }
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

// Python's str.isprintable() is false for control, format, separator (except the blank),
// private-use and surrogate code points; this covers those that occur in real data.
bool python_printable(std::uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return false;
  if (cp < 0x600) return true;
  if ((cp >= 0x600 && cp <= 0x605) || cp == 0x61C || cp == 0x6DD || cp == 0x70F) return false;
  if (cp == 0x1680 || cp == 0x180E) return false;
  if (cp >= 0x2000 && cp <= 0x200F) return false;
  if (cp >= 0x2028 && cp <= 0x202F) return false;
  if (cp >= 0x205F && cp <= 0x206F) return false;
  if (cp == 0x3000 || cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB)) return false;
  if (cp >= 0xD800 && cp <= 0xF8FF) return false;  // surrogates and private use
  if (cp >= 0xE0000) return false;                 // tags and supplementary private use
  return true;
}

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 when it is malformed.
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  return len;
}

char choose_quote(std::string_view s) {
  // Python prefers single quotes unless the text holds one and no double quote.
  if (std::memchr(s.data(), '\'', s.size()) == nullptr) return '\'';
  return std::memchr(s.data(), '"', s.size()) == nullptr ? '"' : '\'';
}

void append_escaped_ascii(std::string& out, unsigned char c, char quote) {
  switch (c) {
    case '\\':
      out += "\\\\";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    default:
      break;
  }
  if (c == static_cast<unsigned char>(quote)) {
    out += '\\';
    out += static_cast<char>(c);
  } else if (c < 0x20 || c >= 0x7F) {
    append_hex_escape(out, 'x', c, 2);
  } else {
    out += static_cast<char>(c);
  }
}

// Bytes that a Python str literal cannot hold as they are, quotes aside.
constexpr auto kSpecial = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = c < 0x20 || c >= 0x7F || c == '\\';
  return table;
}();

bool needs_care(unsigned char c, char quote) {
  return kSpecial[c] || c == static_cast<unsigned char>(quote);
}

void append_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "float('nan')";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "float('-inf')" : "float('inf')";
    return;
  }
  // Shortest round-trip digits, laid out as Python's repr() lays them out: positional
  // notation for decimal exponents -4..15, scientific otherwise.
  char buf[40];
  const auto result = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  char digit_buf[24];
  std::size_t digit_count = 0;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digit_buf[digit_count++] = c;
  }
  const std::string_view digits(digit_buf, digit_count);
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  if (exponent >= -4 && exponent < 16) {
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
      out += digits;
      out.append(static_cast<std::size_t>(point) - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits.substr(0, static_cast<std::size_t>(point)));
      out += '.';
      out.append(digits.substr(static_cast<std::size_t>(point)));
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits.substr(1));
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    append_int(out, magnitude);
  }
}

// Reads exactly `width` digits (or, with width 0, one or more) at text[pos].
bool read_number(std::string_view text, std::size_t& pos, std::size_t width, int& value) {
  const std::size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' &&
         (width == 0 || pos - start < width)) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start && (width == 0 || pos - start == width);
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

struct DateParts {
  int year = 0, month = 0, day = 0;
};
struct TimeParts {
  int hour = 0, minute = 0, second = 0, micro = 0;
};

bool parse_date(std::string_view text, std::size_t& pos, DateParts& d) {
  return read_number(text, pos, 4, d.year) && expect(text, pos, '-') &&
         read_number(text, pos, 2, d.month) && expect(text, pos, '-') &&
         read_number(text, pos, 2, d.day) && d.year >= 1 && d.month >= 1 && d.month <= 12 &&
         d.day >= 1 && d.day <= 31;
}

bool parse_time(std::string_view text, std::size_t& pos, TimeParts& t) {
  if (!(read_number(text, pos, 2, t.hour) && expect(text, pos, ':') &&
        read_number(text, pos, 2, t.minute))) {
    return false;
  }
  if (expect(text, pos, ':') && !read_number(text, pos, 2, t.second)) return false;
  if (expect(text, pos, '.')) {
    int scale = 100000;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      t.micro += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return false;
  }
  return t.hour < 24 && t.minute < 60 && t.second < 60;
}

// "+hh", "+hh:mm", "+hh:mm:ss", "Z" (also without colons); seconds east of UTC.
bool parse_offset(std::string_view text, std::size_t& pos, int& seconds) {
  if (expect(text, pos, 'Z')) {
    seconds = 0;
    return true;
  }
  if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return false;
  const int sign = text[pos] == '-' ? -1 : 1;
  ++pos;
  int h = 0, m = 0, s = 0;
  if (!read_number(text, pos, 2, h)) return false;
  expect(text, pos, ':');
  if (pos < text.size()) {
    if (!read_number(text, pos, 2, m)) return false;
    expect(text, pos, ':');
    if (pos < text.size() && !read_number(text, pos, 2, s)) return false;
  }
  seconds = sign * (h * 3600 + m * 60 + s);
  return h < 24 && m < 60 && s < 60;
}

// A stack buffer for one date or time literal, so each costs one append to the output.
struct ShortText {
  char data[160];
  std::size_t size = 0;
  ShortText& operator+=(char c) {
    data[size++] = c;
    return *this;
  }
  ShortText& operator+=(std::string_view text) {
    std::memcpy(data + size, text.data(), text.size());
    size += text.size();
    return *this;
  }
};

void append_int(ShortText& out, std::int64_t value) {
  if (value >= 0 && value < 100) {
    if (value >= 10) out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
    return;
  }
  const auto result = std::to_chars(out.data + out.size, out.data + sizeof out.data, value);
  out.size = static_cast<std::size_t>(result.ptr - out.data);
}

template <class Out>
void append_time_fields(Out& out, const TimeParts& t) {
  append_int(out, t.hour);
  out += ", ";
  append_int(out, t.minute);
  if (t.second != 0 || t.micro != 0) {
    out += ", ";
    append_int(out, t.second);
  }
  if (t.micro != 0) {
    out += ", ";
    append_int(out, t.micro);
  }
}

template <class Out>
bool append_date_to(Out& out, std::string_view text) {
  std::size_t pos = 0;
  DateParts d;
  if (!parse_date(text, pos, d) || pos != text.size()) return false;
  out += "datetime.date(";
  append_int(out, d.year);
  out += ", ";
  append_int(out, d.month);
  out += ", ";
  append_int(out, d.day);
  out += ')';
  return true;
}

template <class Out>
bool append_time_to(Out& out, std::string_view text) {
  std::size_t pos = 0;
  TimeParts t;
  if (!parse_time(text, pos, t) || pos != text.size()) return false;
  out += "datetime.time(";
  append_time_fields(out, t);
  out += ')';
  return true;
}

template <class Out>
bool append_timestamp_to(Out& out, std::string_view text) {
  std::size_t pos = 0;
  DateParts d;
  TimeParts t;
  if (!parse_date(text, pos, d)) return false;
  if (!(expect(text, pos, ' ') || expect(text, pos, 'T'))) return false;
  if (!parse_time(text, pos, t)) return false;
  bool has_offset = false;
  int offset = 0;
  if (pos < text.size()) {
    if (!parse_offset(text, pos, offset) || pos != text.size()) return false;
    has_offset = true;
  }
  out += "datetime.datetime(";
  append_int(out, d.year);
  out += ", ";
  append_int(out, d.month);
  out += ", ";
  append_int(out, d.day);
  out += ", ";
  append_time_fields(out, t);
  if (has_offset) {
    if (offset == 0) {
      out += ", tzinfo=datetime.timezone.utc";
    } else {
      // Python writes a negative offset as days=-1 plus the seconds of the day left over.
      out += ", tzinfo=datetime.timezone(datetime.timedelta(";
      if (offset < 0) {
        out += "days=-1, seconds=";
        append_int(out, 86400 + offset);
      } else {
        out += "seconds=";
        append_int(out, offset);
      }
      out += "))";
    }
  }
  out += ')';
  return true;
}

template <bool (*Render)(ShortText&, std::string_view)>
bool append_short(std::string& out, std::string_view text) {
  if (text.size() > 40) return false;  // no date or time literal is that long
  ShortText buffer;
  if (!Render(buffer, text)) return false;
  out.append(buffer.data, buffer.size);
  return true;
}

bool append_date(std::string& out, std::string_view text) {
  return append_short<append_date_to<ShortText>>(out, text);
}
bool append_time(std::string& out, std::string_view text) {
  return append_short<append_time_to<ShortText>>(out, text);
}
bool append_timestamp(std::string& out, std::string_view text) {
  return append_short<append_timestamp_to<ShortText>>(out, text);
}

void append_python_bytes(std::string& out, std::string_view bytes) {
  const char quote = choose_quote(bytes);
  out += 'b';
  out += quote;
  for (char c : bytes) append_escaped_ascii(out, static_cast<unsigned char>(c), quote);
  out += quote;
}

}  // namespace

void append_python_str(std::string& out, std::string_view s) {
  const char quote = choose_quote(s);
  out += quote;
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (!needs_care(c, quote)) {
      ++i;
      continue;
    }
    out.append(s.data() + run_start, i - run_start);
    if (c < 0x80) {
      append_escaped_ascii(out, c, quote);
      ++i;
    } else {
      std::uint32_t cp = 0;
      const std::size_t len = decode_utf8(s, i, cp);
      if (len == 0) {
        append_hex_escape(out, 'x', c, 2);  // a byte that is not UTF-8
        ++i;
      } else if (python_printable(cp)) {
        out.append(s.data() + i, len);
        i += len;
      } else {
        if (cp < 0x100) {
          append_hex_escape(out, 'x', cp, 2);
        } else if (cp < 0x10000) {
          append_hex_escape(out, 'u', cp, 4);
        } else {
          append_hex_escape(out, 'U', cp, 8);
        }
        i += len;
      }
    }
    run_start = i;
  }
  out.append(s.data() + run_start, s.size() - run_start);
  out += quote;
}

void append_python_literal(std::string& out, const Value& v) {
  switch (v.kind) {
    case Value::Kind::null:
      out += "None";
      return;
    case Value::Kind::boolean:
      out += v.boolean ? "True" : "False";
      return;
    case Value::Kind::integer:
      if (v.text.empty()) {
        append_int(out, v.integer);
      } else {
        out += v.text;
      }
      return;
    case Value::Kind::real:
      append_float(out, v.real);
      return;
    case Value::Kind::decimal:
      out += "Decimal('";
      out += v.text;
      out += "')";
      return;
    case Value::Kind::text:
      append_python_str(out, v.text);
      return;
    case Value::Kind::bytes:
      append_python_bytes(out, v.text);
      return;
    case Value::Kind::date:
      if (!append_date(out, v.text)) append_python_str(out, v.text);
      return;
    case Value::Kind::time:
      if (!append_time(out, v.text)) append_python_str(out, v.text);
      return;
    case Value::Kind::timestamp:
      if (!append_timestamp(out, v.text)) append_python_str(out, v.text);
      return;
  }
}

std::string plain_text(const Value& v) {
  switch (v.kind) {
    case Value::Kind::null:
      return "None";
    case Value::Kind::boolean:
      return v.boolean ? "True" : "False";
    case Value::Kind::integer:
      return v.text.empty() ? std::to_string(v.integer) : v.text;
    case Value::Kind::real: {
      std::string out;
      append_float(out, v.real);
      return out;
    }
    case Value::Kind::bytes: {
      std::string out;
      append_python_bytes(out, v.text);
      return out;
    }
    default:
      return v.text;
  }
}

RowRenderer::RowRenderer(std::vector<std::string> columns, bool include_columns,
                         RenderLimits limits)
    : include_columns_(include_columns), limits_(limits) {
  if (include_columns_) {
    labels_.reserve(columns.size());
    for (const auto& column : columns) {
      std::string label;
      append_python_str(label, column);
      labels_.push_back(std::move(label));
    }
  }
}

bool RowRenderer::add(const Row& row) {
  ++seen_;
  if (full_) return false;
  if (limits_.max_rows != 0 && shown_ >= limits_.max_rows) {
    full_ = true;
    return false;
  }
  // Rendered in place; a row that would pass the byte limit is cut off again, as soon as
  // it does: a text or bytes value renders to at least its own length, so one that cannot
  // fit is never rendered (a 200 MB value would otherwise be rendered whole, four times its
  // size for bytes, only to be dropped).
  const std::size_t mark = out_.size();
  const auto overflows = [&](const Value* next) {
    if (limits_.max_bytes == 0) return false;
    std::size_t at_least = out_.size() + 1;  // one byte is kept for the closing bracket
    if (next != nullptr && (next->kind == Value::Kind::text || next->kind == Value::Kind::bytes)) {
      at_least += next->text.size();
    }
    return at_least > limits_.max_bytes;
  };
  const auto cut = [&] {
    out_.resize(mark);
    full_ = true;
    return false;
  };
  out_ += shown_ == 0 ? "[" : ", ";
  out_ += include_columns_ ? '{' : '(';
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i != 0) out_ += ", ";
    if (include_columns_) {
      out_ += i < labels_.size() ? labels_[i] : std::string("''");
      out_ += ": ";
    }
    if (overflows(&row[i])) return cut();
    append_python_literal(out_, row[i]);
    if (overflows(nullptr)) return cut();
  }
  if (include_columns_) {
    out_ += '}';
  } else {
    if (row.size() == 1) out_ += ',';
    out_ += ')';
  }
  if (overflows(nullptr)) return cut();
  ++shown_;
  if (shown_ == 1 && expected_rows_ > 1) {
    // Sized from the first row: one allocation instead of repeated growth and copying.
    std::size_t estimate = out_.size() * expected_rows_ + expected_rows_ / 8 * out_.size();
    if (limits_.max_bytes != 0) estimate = std::min(estimate, limits_.max_bytes);
    out_.reserve(estimate);
  }
  return true;
}

std::string RowRenderer::finish() {
  if (seen_ == 0) return {};
  if (shown_ == 0) out_ += '[';
  out_ += ']';
  if (seen_ > shown_) {
    const std::size_t left = seen_ - shown_;
    out_ += "  # ";
    out_ += std::to_string(left);
    out_ += left == 1 ? " more row was" : " more rows were";
    out_ += " left out: the output stops at ";
    if (limits_.max_rows != 0 && shown_ >= limits_.max_rows) {
      out_ += std::to_string(limits_.max_rows) + " rows";
    } else {
      out_ += std::to_string(limits_.max_bytes) + " bytes";
    }
  }
  return std::move(out_);
}

std::string render_rows(const std::vector<std::string>& columns, const std::vector<Row>& rows,
                        bool include_columns, RenderLimits limits) {
  RowRenderer renderer(columns, include_columns, limits);
  renderer.expect_rows(limits.max_rows == 0 ? rows.size() : std::min(rows.size(), limits.max_rows));
  for (const auto& row : rows) renderer.add(row);  // rows past the limits are only counted
  return renderer.finish();
}

}  // namespace norvex::sql

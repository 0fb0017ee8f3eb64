// What a cell's text may be: the type checks behind each column's inferred type, and the
// text encodings.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "source.hpp"

namespace norvex::files::detail {
namespace {

constexpr TypeMask bit(ColumnType type) {
  return TypeMask(1u << static_cast<unsigned>(type));
}

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// Digits without a superfluous leading zero: "007" is an identifier or a postcode, whose
// zeros an integer column would lose.
bool plain_digits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (!digit(c)) return false;
  return s.size() == 1 || s[0] != '0';
}

// A leading "+" is not a number's: "+4915112345678" is a telephone number.
bool integer(std::string_view s) {
  std::string_view digits = s;
  if (!digits.empty() && digits[0] == '-') digits.remove_prefix(1);
  if (!plain_digits(digits)) return false;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

// Decimal notation only: no "inf", "nan", hexadecimal or blanks; and exact enough: digits
// alone are an integer (one past 64 bits is not rounded into a REAL), no more significant
// digits than a double keeps, no value beyond a double's range.
bool real(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  const std::size_t int_start = i;
  std::size_t significant = 0;
  while (i < s.size() && digit(s[i])) {
    if (significant > 0 || s[i] != '0') ++significant;
    ++i;
  }
  const std::size_t int_digits = i - int_start;
  if (int_digits > 1 && s[int_start] == '0') return false;
  std::size_t frac_digits = 0;
  bool point = false;
  if (i < s.size() && s[i] == '.') {
    point = true;
    ++i;
    const std::size_t frac_start = i;
    while (i < s.size() && digit(s[i])) {
      if (significant > 0 || s[i] != '0') ++significant;
      ++i;
    }
    frac_digits = i - frac_start;
  }
  if (int_digits + frac_digits == 0 || significant > 17) return false;
  bool exponent = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    exponent = true;
    ++i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    const std::size_t exp_start = i;
    while (i < s.size() && digit(s[i])) ++i;
    if (i == exp_start) return false;
  }
  if (i != s.size() || (!point && !exponent)) return false;
  if (exponent) {
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size()) return false;  // 1e309, 1e-400
  }
  return true;
}

bool boolean(std::string_view s) {
  const auto equals = [&](std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
      if ((s[i] | 0x20) != word[i]) return false;
    return true;
  };
  return equals("true") || equals("false");
}

// YYYY-MM-DD with a real month and day.
bool date(std::string_view s) {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  const int year = digits_at(s, 0, 4);
  const int month = digits_at(s, 5, 2);
  const int day = digits_at(s, 8, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

// A date, "T" or a blank, HH:MM[:SS[.fraction]], then "Z" or an offset ±HH[:MM].
bool timestamp(std::string_view s) {
  if (s.size() < 16 || !date(s.substr(0, 10)) || (s[10] != 'T' && s[10] != ' ')) return false;
  if (digits_at(s, 11, 2) < 0 || digits_at(s, 11, 2) > 23 || s[13] != ':' ||
      digits_at(s, 14, 2) < 0 || digits_at(s, 14, 2) > 59)
    return false;
  std::size_t i = 16;
  if (i < s.size() && s[i] == ':') {
    const int second = digits_at(s, i + 1, 2);
    if (second < 0 || second > 60) return false;
    i += 3;
    if (i < s.size() && s[i] == '.') {
      const std::size_t start = ++i;
      while (i < s.size() && digit(s[i])) ++i;
      if (i == start) return false;
    }
  }
  if (i == s.size()) return true;
  if (s[i] == 'Z') return i + 1 == s.size();
  if (s[i] != '+' && s[i] != '-') return false;
  const std::string_view offset = s.substr(i + 1);
  if (offset.size() == 2) return digits_at(offset, 0, 2) >= 0;
  if (offset.size() == 4) return digits_at(offset, 0, 4) >= 0;
  return offset.size() == 5 && offset[2] == ':' && digits_at(offset, 0, 2) >= 0 &&
         digits_at(offset, 3, 2) >= 0;
}

}  // namespace

int digits_at(std::string_view s, std::size_t at, std::size_t width) {
  int value = 0;
  for (std::size_t i = at; i < at + width; ++i) {
    if (i >= s.size() || !digit(s[i])) return -1;
    value = value * 10 + (s[i] - '0');
  }
  return value;
}

TypeMask types_of(const Cell& cell) {
  const std::string_view s = cell.text;
  if (s.empty()) return kAllTypes;
  switch (cell.hint) {
    case Hint::nested:
      return 0;
    case Hint::boolean:
      return bit(ColumnType::boolean);
    case Hint::number:
      if (integer(s)) return TypeMask(bit(ColumnType::integer) | bit(ColumnType::real));
      return real(s) ? bit(ColumnType::real) : 0;
    case Hint::string:
      if (s.size() == 10 && date(s))
        return TypeMask(bit(ColumnType::date) | bit(ColumnType::timestamp));
      return timestamp(s) ? bit(ColumnType::timestamp) : 0;
    case Hint::any:
      break;
  }
  const char c = s[0];
  if (digit(c) || c == '-' || c == '.') {
    if (integer(s)) return TypeMask(bit(ColumnType::integer) | bit(ColumnType::real));
    if (real(s)) return bit(ColumnType::real);
    if (s.size() == 10 && date(s))
      return TypeMask(bit(ColumnType::date) | bit(ColumnType::timestamp));
    return timestamp(s) ? bit(ColumnType::timestamp) : 0;
  }
  return boolean(s) ? bit(ColumnType::boolean) : 0;
}

ColumnType type_of(TypeMask mask, bool any_value) {
  if (!any_value) return ColumnType::text;
  for (const ColumnType type : {ColumnType::integer, ColumnType::real, ColumnType::boolean,
                                ColumnType::date, ColumnType::timestamp}) {
    if (mask & bit(type)) return type;
  }
  return ColumnType::text;
}

bool valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time: the common case.
    if (i + 8 <= n) {
      std::uint64_t word;
      __builtin_memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t min;
    std::uint32_t code;
    if ((c & 0xe0) == 0xc0) {
      length = 2, min = 0x80, code = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      length = 3, min = 0x800, code = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      length = 4, min = 0x10000, code = c & 0x07;
    } else {
      return false;
    }
    if (i + length > n) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      code = (code << 6) | (s[i + k] & 0x3f);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += length;
  }
  return true;
}

void windows_1252_to_utf8(std::string_view text, std::string& out) {
  // 0x80..0x9f; 0 marks the five unassigned bytes, which keep their Latin-1 meaning.
  static constexpr std::uint16_t kHigh[32] = {
      0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
      0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};
  out.clear();
  out.reserve(text.size() + text.size() / 4);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    std::uint32_t code = c;
    if (c >= 0x80 && c < 0xa0 && kHigh[c - 0x80] != 0) code = kHigh[c - 0x80];
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }
}

}  // namespace norvex::files::detail

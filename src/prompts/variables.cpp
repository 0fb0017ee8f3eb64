// Text forms of template values. Prompts show non-string values as Python prints them,
// because the model reads them next to Python code and Python-rendered query results.
#include "norvex/prompts/variables.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "norvex/error.hpp"

namespace norvex::prompts {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kNone = "None";
constexpr std::string_view kTrue = "True";
constexpr std::string_view kFalse = "False";
constexpr std::string_view kHexDigits = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out += kHexDigits[(value >> shift) & 0xFU];
  }
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

// Python's repr() of a float: the shortest digits that read back to the same value, in
// fixed notation while the decimal point lies within 16 digits of them, else as d.ddde±XX.
void append_python_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  std::array<char, 40> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::scientific);
  const std::string_view scientific(buffer.data(),
                                    static_cast<std::size_t>(result.ptr - buffer.data()));
  const auto e_pos = scientific.find('e');
  std::string_view mantissa = scientific.substr(0, e_pos);
  if (!mantissa.empty() && mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  digits.reserve(mantissa.size());
  for (const char c : mantissa) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(scientific.substr(e_pos + 1)).c_str());
  const int point = exponent + 1;  // digits are 0.DDDD × 10^point
  const auto count = static_cast<int>(digits.size());
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out += digits;
    } else if (point >= count) {
      out += digits;
      out.append(static_cast<std::size_t>(point - count), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out += '.';
      out.append(digits, static_cast<std::size_t>(point));
    }
    return;
  }
  out += digits.front();
  if (count > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  const int shown = point - 1;
  out += shown < 0 ? '-' : '+';
  const int magnitude = std::abs(shown);
  if (magnitude < 10) out += '0';
  append_integer(out, magnitude);
}

// Code points outside ASCII that Python's str.isprintable() rejects, so repr() escapes them:
// controls, separators other than the ASCII blank, format characters, surrogates and
// private use, and the wholly unassigned planes 4 to 13. Other unassigned code points are
// kept as they are (listing them would tie us to one Unicode version).
bool is_unprintable(std::uint32_t cp) {
  struct Range {
    std::uint32_t first;
    std::uint32_t last;
  };
  static constexpr std::array<Range, 27> kRanges{{
      {0x80, 0xA0},       {0xAD, 0xAD},       {0x600, 0x605},      {0x61C, 0x61C},
      {0x6DD, 0x6DD},     {0x70F, 0x70F},     {0x890, 0x891},      {0x8E2, 0x8E2},
      {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},    {0x2028, 0x202F},
      {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},    {0xD800, 0xF8FF},
      {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},    {0x110BD, 0x110BD},
      {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},  {0x1D173, 0x1D17A},
      {0x323B0, 0xDFFFF}, {0xE0000, 0xE00FF}, {0xE01F0, 0x10FFFF},
  }};
  for (const auto& range : kRanges) {
    if (cp < range.first) return false;
    if (cp <= range.last) return true;
  }
  return false;
}

// Decodes one UTF-8 sequence at `pos`; returns its length, or 0 when the bytes there are not
// well-formed UTF-8 (overlong, surrogate, beyond U+10FFFF or truncated).
std::size_t decode_utf8(std::string_view text, std::size_t pos, std::uint32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1FU, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0FU, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07U, min = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0U) != 0x80U) return 0;
    cp = (cp << 6) | (byte(i) & 0x3FU);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// Python's repr() of a str. Bytes that are not well-formed UTF-8 cannot occur in a Python
// str; they are shown as \xNN so that the text stays readable and nothing is lost.
void append_quoted(std::string& out, std::string_view text) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  for (std::size_t pos = 0; pos < text.size();) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
      ++pos;
      if (c == static_cast<unsigned char>(quote) || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c < 0x20 || c == 0x7F) {
        out += "\\x";
        append_hex(out, c, 2);
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t length = decode_utf8(text, pos, cp);
    if (length == 0) {
      out += "\\x";
      append_hex(out, c, 2);
      ++pos;
      continue;
    }
    if (!is_unprintable(cp)) {
      out.append(text, pos, length);
    } else if (cp <= 0xFF) {
      out += "\\x";
      append_hex(out, cp, 2);
    } else if (cp <= 0xFFFF) {
      out += "\\u";
      append_hex(out, cp, 4);
    } else {
      out += "\\U";
      append_hex(out, cp, 8);
    }
    pos += length;
  }
  out += quote;
}

// Python's repr() of bytes, for JSON binary values.
void append_bytes(std::string& out, const Json::binary_t& bytes) {
  bool has_single = false;
  bool has_double = false;
  for (const auto b : bytes) {
    has_single = has_single || b == '\'';
    has_double = has_double || b == '"';
  }
  const char quote = has_single && !has_double ? '"' : '\'';
  out += 'b';
  out += quote;
  for (const auto b : bytes) {
    if (b == static_cast<unsigned char>(quote) || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\r') {
      out += "\\r";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b >= 0x7F) {
      out += "\\x";
      append_hex(out, b, 2);
    } else {
      out += static_cast<char>(b);
    }
  }
  out += quote;
}

}  // namespace

void append_python_repr(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      append_quoted(out, value.get_ref<const Json::string_t&>());
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ", ";
        first = false;
        append_python_repr(out, element);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.items()) {
        if (!first) out += ", ";
        first = false;
        append_quoted(out, key);
        out += ": ";
        append_python_repr(out, element);
      }
      out += '}';
      return;
    }
    default:
      append_text(out, value);
      return;
  }
}

void append_text(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      out += value.get_ref<const Json::string_t&>();
      return;
    case Json::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case Json::value_t::number_unsigned:
      append_integer(out, value.get<std::uint64_t>());
      return;
    case Json::value_t::number_float:
      append_python_float(out, value.get<double>());
      return;
    case Json::value_t::boolean:
      out += value.get<bool>() ? kTrue : kFalse;
      return;
    case Json::value_t::binary:
      append_bytes(out, value.get_binary());
      return;
    case Json::value_t::array:
    case Json::value_t::object:
      append_python_repr(out, value);
      return;
    case Json::value_t::null:
    case Json::value_t::discarded:
      out += kNone;
      return;
  }
}

Json zip(const Json& first, const Json& second) {
  if (!first.is_array() || !second.is_array()) {
    throw ArgumentError(std::string("zip needs two lists, got ") + first.type_name() + " and " +
                        second.type_name());
  }
  Json pairs = Json::array();
  const std::size_t count = std::min(first.size(), second.size());
  for (std::size_t i = 0; i < count; ++i) {
    pairs.push_back(Json::array({first[i], second[i]}));
  }
  return pairs;
}

std::string to_text(const Json& value) {
  std::string out;
  append_text(out, value);
  return out;
}

std::string python_repr(const Json& value) {
  std::string out;
  append_python_repr(out, value);
  return out;
}

}  // namespace norvex::prompts

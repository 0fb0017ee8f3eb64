#pragma once
// Text-to-cell conversions shared by the engines whose clients hand out values as text.

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "norvex/sql/rows.hpp"

namespace norvex::sql::detail {

/// Appends one code point as UTF-8.
inline void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

/// An integer written in decimal; beyond 64 bits (MySQL's BIGINT UNSIGNED) it stays digits.
inline Value integer_value(std::string_view text) {
  std::int64_t i = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
  if (ec == std::errc() && end == text.data() + text.size()) return Value::of_int(i);
  return Value::of(Value::Kind::integer, std::string(text));
}

/// A float as the engine writes it, including "NaN", "Infinity" and "-Infinity".
inline Value real_value(std::string_view text) {
  double d = 0;
  if (text == "Infinity") return Value::of_real(std::numeric_limits<double>::infinity());
  if (text == "-Infinity") return Value::of_real(-std::numeric_limits<double>::infinity());
  if (text == "NaN") return Value::of_real(std::numeric_limits<double>::quiet_NaN());
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec == std::errc() && end == text.data() + text.size()) return Value::of_real(d);
  return Value::of(Value::Kind::text, std::string(text));
}

}  // namespace norvex::sql::detail

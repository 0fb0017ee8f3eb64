#pragma once
// Text-to-cell conversions shared by the engines whose clients hand out values as text.

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "norvex/base/text.hpp"
#include "norvex/sql/rows.hpp"

namespace norvex::sql::detail {

using base::append_utf8;

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

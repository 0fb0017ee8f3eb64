#pragma once
/// Small text helpers that several modules share. ASCII case rules only: names, keywords and
/// headers, never user text in other scripts.

#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::base {

/// `text` with ASCII letters in lower case.
[[nodiscard]] NORVEX_API std::string lower(std::string_view text);
/// `text` with ASCII letters in upper case.
[[nodiscard]] NORVEX_API std::string upper(std::string_view text);
/// Equal but for the case of ASCII letters.
[[nodiscard]] NORVEX_API bool iequals(std::string_view a, std::string_view b) noexcept;
/// A blank inside a line: space or tab.
[[nodiscard]] constexpr bool is_blank(char c) noexcept {
  return c == ' ' || c == '\t';
}
/// `text` without leading and trailing white space (space, tab, line breaks, form feed,
/// vertical tab).
[[nodiscard]] NORVEX_API std::string_view trim(std::string_view text) noexcept;
/// Appends one code point (at most U+10FFFF) to `out` as UTF-8.
NORVEX_API void append_utf8(std::string& out, char32_t code_point);

}  // namespace norvex::base

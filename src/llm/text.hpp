#pragma once
// Small text helpers shared by the llm sources (not installed).

#include <string>
#include <string_view>

namespace norvex::llm::detail {

/// `text` without leading and trailing white space.
std::string_view trim(std::string_view text) noexcept;

/// At most `limit` characters of `text` (cut on a UTF-8 boundary), "…" marking a cut.
std::string excerpt(std::string_view text, std::size_t limit = 200);

/// `text` with every occurrence of `secret` replaced by a mask (no-op for an empty secret).
std::string scrub(std::string text, std::string_view secret);

/// Every occurrence of `from` replaced by `to` (no-op for an empty `from`).
std::string replace_all(std::string text, std::string_view from, std::string_view to);

}  // namespace norvex::llm::detail

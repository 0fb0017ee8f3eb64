#pragma once
// Small text helpers shared by the llm sources (not installed).

#include <string>
#include <string_view>

#include "norvex/base/secrets.hpp"
#include "norvex/base/text.hpp"

namespace norvex::llm::detail {

/// `text` without leading and trailing white space.
using base::trim;

/// At most `limit` characters of `text` (cut on a UTF-8 boundary), "…" marking a cut.
std::string excerpt(std::string_view text, std::size_t limit = 200);

/// `text` with every occurrence of `secret` replaced by ***, however short (no-op for an
/// empty secret): the foundation's one rule.
using base::scrub;

/// Every occurrence of `from` replaced by `to` (no-op for an empty `from`).
std::string replace_all(std::string text, std::string_view from, std::string_view to);

}  // namespace norvex::llm::detail

#pragma once
/// Keeping secrets out of every text that leaves the library: one rule for all modules.

#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::base {

/// What a secret is replaced by.
inline constexpr std::string_view kSecretMask = "***";

/// `text` with every occurrence of `secret` replaced by kSecretMask. Every non-empty secret
/// counts, however short: a short password is still a password. An empty secret changes
/// nothing.
[[nodiscard]] NORVEX_API std::string scrub(std::string text, std::string_view secret);

}  // namespace norvex::base

#pragma once
// Helpers shared by the database tool's sources: printed lines and keeping the password
// out of every text that leaves the library.

#include <string>
#include <string_view>

namespace norvex::dbkit::detail {

/// Writes `text` and a line break to standard output and flushes.
void print_line(std::string_view text);

/// `message` with every occurrence of a non-empty `secret` replaced by ***.
[[nodiscard]] std::string scrub(std::string message, std::string_view secret);

/// Throws ArgumentError naming `what` when `value` holds a NUL character: C clients would
/// silently cut the value there and use a different one.
void reject_nul(std::string_view value, std::string_view what);

}  // namespace norvex::dbkit::detail

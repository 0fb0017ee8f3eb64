#pragma once
// Helpers shared by the database tool's sources: printed lines and keeping the password
// out of every text that leaves the library.

#include <string>
#include <string_view>

#include "norvex/base/secrets.hpp"

namespace norvex::dbkit::detail {

/// Writes `text` as one line for a person through the output sink (standard output unless
/// the program or a server replaced it).
void print_line(std::string_view text);

/// `message` with every occurrence of a non-empty `secret` replaced by ***.
using base::scrub;

/// Throws ArgumentError naming `what` when `value` holds a NUL character: C clients would
/// silently cut the value there and use a different one.
void reject_nul(std::string_view value, std::string_view what);

}  // namespace norvex::dbkit::detail

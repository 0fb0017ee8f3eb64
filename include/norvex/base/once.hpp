#pragma once
/// Process-wide initialisation shared by several libraries of ours.

#include <functional>
#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::base {

/// Runs `init` the first time any library of this process asks for `key`, and never again
/// for that key; concurrent callers wait until it has run. For C libraries that two of our
/// modules use and that must be initialised once per process (MariaDB's client library).
NORVEX_API void once_per_process(std::string_view key, const std::function<void()>& init);

}  // namespace norvex::base

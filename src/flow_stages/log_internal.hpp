#pragma once
// The one place the stages write their log lines through.

#include <chrono>
#include <string_view>

namespace norvex::flow_stages {

/// Writes `message` at info level to the sink, or to the module's logger. Never throws.
void log_info(std::string_view message);

/// Wall-clock seconds since the epoch, with fraction.
inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace norvex::flow_stages

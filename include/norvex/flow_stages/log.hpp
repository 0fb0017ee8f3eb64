#pragma once
/// The flow stages' log: three fixed texts at info level, with elapsed seconds.

#include <functional>
#include <string>
#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::flow_stages {

inline constexpr std::string_view kSqlGenerationTookLog = "Invoke generate sql query tooks: ";
inline constexpr std::string_view kEnterGenerateResponseLog = "Enter generate response";
inline constexpr std::string_view kFinishGeneratingResponseLog =
    "Finish generating response, took ";

/// Receives each log line: its level name ("info") and its message.
using LogSink = std::function<void(std::string_view level, std::string_view message)>;

/// Sends the stages' log lines to `sink` instead of the module's logger (a spdlog logger
/// named "norvex.flow_stages" writing to standard error); an empty sink restores it.
/// The sink may be called from several threads at once. Never throws.
NORVEX_API void set_log_sink(LogSink sink);

/// Seconds as Python writes a float: the shortest digits that read back to the same value,
/// fixed notation with at least one decimal unless the exponent is below -4 or at least 16
/// (2.3456, 0.5, 3.0, 1e-05). Never throws.
[[nodiscard]] NORVEX_API std::string format_seconds(double seconds);

}  // namespace norvex::flow_stages

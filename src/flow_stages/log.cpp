#include "norvex/flow_stages/log.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <charconv>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>

#include "log_internal.hpp"

namespace norvex::flow_stages {
namespace {

constexpr const char* kLoggerName = "norvex.flow_stages";

std::mutex& sink_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const LogSink>& sink_slot() {
  static std::shared_ptr<const LogSink> sink;
  return sink;
}

std::shared_ptr<spdlog::logger> module_logger() {
  // Built once; a logger of that name registered by the application is used instead.
  static const std::shared_ptr<spdlog::logger> logger = [] {
    if (auto existing = spdlog::get(kLoggerName)) return existing;
    auto created = std::make_shared<spdlog::logger>(
        kLoggerName, std::make_shared<spdlog::sinks::stderr_sink_mt>());
    created->set_level(spdlog::level::info);
    return created;
  }();
  return logger;
}

}  // namespace

void set_log_sink(LogSink sink) {
  std::shared_ptr<const LogSink> next;
  if (sink) next = std::make_shared<const LogSink>(std::move(sink));
  std::lock_guard lock(sink_mutex());
  sink_slot() = std::move(next);
}

void log_info(std::string_view message) {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard lock(sink_mutex());
    sink = sink_slot();
  }
  // Logging must never end a run.
  try {
    if (sink) {
      (*sink)("info", message);
    } else {
      module_logger()->info("{}", message);
    }
  } catch (...) {
  }
}

std::string format_seconds(double seconds) {
  // Shortest round-trip digits in scientific form, re-laid out the way Python's repr does.
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::scientific);
  if (ec != std::errc{}) return "0.0";
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  if (text == "inf" || text == "-inf" || text == "nan" || text == "-nan") return std::string(text);
  std::string sign;
  if (text.front() == '-') {
    sign = "-";
    text.remove_prefix(1);
  }
  const auto e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  if (exponent < -4 || exponent >= 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
    return out;
  }
  std::string out = sign;
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integer_digits) {
    out += digits;
    out.append(integer_digits - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, integer_digits);
    out += '.';
    out += digits.substr(integer_digits);
  }
  return out;
}

}  // namespace norvex::flow_stages

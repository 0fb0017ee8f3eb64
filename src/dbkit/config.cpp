#include "norvex/dbkit/config.hpp"

#include <cstdlib>
#include <mutex>
#include <utility>

#include "norvex/error.hpp"
#include "output.hpp"

namespace norvex::dbkit {
namespace {

// The password used when db_password is not set in the environment.
constexpr std::string_view kDefaultPassword = "kelp";

std::optional<std::string> environment_value(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

DatabaseConfig read_environment() {
  DatabaseConfig config;
  config.db_port = kDefaultPort;
  config.db_user = environment_value(kDbUser).value_or(std::string(kDefaultUser));
  config.db_password = environment_value(kDbPassword).value_or(std::string(kDefaultPassword));
  config.db_host = environment_value(kDbHost);
  config.db_name = environment_value(kDbName);
  return config;
}

struct LiveConfig {
  std::mutex mutex;
  DatabaseConfig values = read_environment();
};

// Read from the environment once, at the first use: a change to the environment after that
// has no effect. (Nothing runs when the library loads, so a program can prepare its
// environment first.)
LiveConfig& live_config() {
  static LiveConfig config;
  return config;
}

bool is_invalid(const std::optional<std::string>& value) {
  return !value.has_value() || value->empty();
}

}  // namespace

std::string to_text(const Port& port) {
  if (const auto* number = std::get_if<std::int64_t>(&port)) return std::to_string(*number);
  return std::get<std::string>(port);
}

DatabaseConfig database_config() {
  auto& config = live_config();
  const std::lock_guard lock(config.mutex);
  return config.values;
}

void set_database_config(std::optional<std::string> name, std::optional<std::string> user,
                         std::optional<std::string> password, std::optional<std::string> host,
                         std::optional<Port> port) {
  if (!name || !user || !password || !host || !port ||
      !std::holds_alternative<std::int64_t>(*port)) {
    throw ArgumentError(std::string(kInvalidConfigArguments));
  }
  DatabaseConfig values;
  values.db_name = std::move(name);
  values.db_user = std::move(user);
  values.db_password = std::move(password);
  values.db_host = std::move(host);
  values.db_port = std::get<std::int64_t>(*port);

  auto& config = live_config();
  const std::lock_guard lock(config.mutex);
  config.values = std::move(values);
}

std::vector<std::string> check_db_config_variables() {
  const DatabaseConfig config = database_config();
  std::vector<std::string> invalid;
  if (is_invalid(config.db_name)) invalid.emplace_back(kDbName);
  if (is_invalid(config.db_user)) invalid.emplace_back(kDbUser);
  if (is_invalid(config.db_password)) invalid.emplace_back(kDbPassword);
  if (is_invalid(config.db_host)) invalid.emplace_back(kDbHost);
  // The port is an integer, so it is always set.

  if (invalid.empty()) {
    detail::print_line(kAllVariablesSet);
  } else {
    std::string line(kInvalidVariablesPrefix);
    for (std::size_t i = 0; i < invalid.size(); ++i) {
      line += i == 0 ? " " : ", ";
      line += invalid[i];
    }
    detail::print_line(line);
  }
  return invalid;
}

}  // namespace norvex::dbkit

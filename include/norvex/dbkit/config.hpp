#pragma once
/// The database tool's process-wide configuration: the port, user, password, host and
/// database name that schema extraction and query execution connect with. Read from the
/// environment variables db_user, db_password, db_host and db_name once, at the first use
/// of the configuration (values set in the environment before that count, later changes do
/// not); replaced as a whole by set_database_config. Readers and set_database_config
/// share one lock, so a reader sees either the old or the new five values.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::dbkit {

/// A port as a caller supplies it: an integer, or a text that the client interprets.
using Port = std::variant<std::int64_t, std::string>;

/// The plain text form of a port: the decimal digits of an integer, a text as it is.
[[nodiscard]] NORVEX_API std::string to_text(const Port& port);

/// Names of the five values, which are also the environment variables read at first use (all
/// but the port) and the names the audit reports.
inline constexpr std::string_view kDbName = "db_name";
inline constexpr std::string_view kDbUser = "db_user";
inline constexpr std::string_view kDbPassword = "db_password";
inline constexpr std::string_view kDbHost = "db_host";
inline constexpr std::string_view kDbPort = "db_port";

/// The port before any set_database_config; the environment is not consulted for it.
inline constexpr std::int64_t kDefaultPort = 3306;
/// The user when db_user is not set in the environment.
inline constexpr std::string_view kDefaultUser = "root";

/// The message of the ArgumentError that set_database_config throws.
inline constexpr std::string_view kInvalidConfigArguments =
    "All parameters must be provided and 'port' must be an integer.";
/// Printed by the audit, followed by one blank and the invalid names joined by ", ".
inline constexpr std::string_view kInvalidVariablesPrefix =
    "The following configuration variables are invalid:";
/// Printed by the audit when every value is set.
inline constexpr std::string_view kAllVariablesSet =
    "All configuration variables are set correctly.";

/// The five configuration values; an absent text is an empty optional.
/// Thread rule: a plain value (a snapshot); the live configuration is guarded inside.
struct NORVEX_API DatabaseConfig {
  std::int64_t db_port = kDefaultPort;
  std::optional<std::string> db_user;
  std::optional<std::string> db_password;
  std::optional<std::string> db_host;
  std::optional<std::string> db_name;

  friend bool operator==(const DatabaseConfig&, const DatabaseConfig&) = default;
};

/// A copy of the current configuration. Thread-safe; never throws.
[[nodiscard]] NORVEX_API DatabaseConfig database_config();

/// Replaces all five values at once. Validation comes first: when any of name, user,
/// password, host is absent, or the port is absent or a text, throws ArgumentError with
/// kInvalidConfigArguments and nothing changes. Empty texts and any integer port pass.
NORVEX_API void set_database_config(std::optional<std::string> name,
                                    std::optional<std::string> user,
                                    std::optional<std::string> password,
                                    std::optional<std::string> host, std::optional<Port> port);

/// Audits the configuration: prints one line (the invalid names after
/// kInvalidVariablesPrefix, or kAllVariablesSet) and returns the names of the values that
/// are absent or empty, in the order db_name, db_user, db_password, db_host, db_port.
/// Never throws and never changes the configuration.
NORVEX_API std::vector<std::string> check_db_config_variables();

}  // namespace norvex::dbkit

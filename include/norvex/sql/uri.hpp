#pragma once
/// Connection URIs of the database facade: scheme "://" user ":" password "@" host ":" port
/// "/" database ["?" query], and the SQLite forms "sqlite:///relative/path",
/// "sqlite:////absolute/path", "sqlite:///:memory:".

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/base/secrets.hpp"

namespace norvex::sql {

enum class Engine { mysql, postgresql, odbc, sqlite };

/// A parsed connection URI. The credentials are taken as written (URIs reach us composed
/// without escaping); query parameters are URL-decoded. Thread rule: a plain value.
struct NORVEX_API ConnectionUri {
  Engine engine = Engine::sqlite;
  std::string scheme;  // as written, e.g. "postgresql+psycopg2"
  std::string user;
  std::string password;
  bool has_password = false;
  std::string host;
  std::optional<int> port;
  std::string database;  // for SQLite: the file path, or ":memory:"
  std::vector<std::pair<std::string, std::string>> query;
  std::string masked;  // the URI with the password (and any PWD= of odbc_connect) as ***

  /// The decoded value of a query parameter, if present.
  [[nodiscard]] std::optional<std::string> parameter(std::string_view name) const;
};

/// Parses a connection URI. The last "@" that is followed by a plausible host ends the
/// credentials and the first ":" splits user from password, so passwords may hold "@", ":"
/// and "/". Schemes: mysql[+driver], mariadb[+driver], postgresql[+driver], postgres,
/// mssql[+driver] (ODBC), sqlite. Throws DatabaseError (unknown scheme, bad port, malformed
/// text); the message never contains the password.
[[nodiscard]] NORVEX_API ConnectionUri parse_uri(std::string_view uri);

/// The URI with its password replaced by ***; a text that does not parse is masked whole
/// after the scheme. Never throws.
[[nodiscard]] NORVEX_API std::string mask_uri(std::string_view uri);

/// Replaces the values of PWD= and Password= in an ODBC connection string by ***.
[[nodiscard]] NORVEX_API std::string mask_odbc_string(std::string_view connection_string);

/// The ODBC connection string for a "mssql+..." URI: the raw `odbc_connect` parameter when
/// given, else DRIVER={d};SERVER=host,port;DATABASE=db;UID=user;PWD={password} with the
/// driver from the `driver` parameter, else `odbc_driver_env`, else "SQL Server". Only SQL
/// Server drivers (FreeTDS included) get the "host,port" form; any other driver gets
/// SERVER=host;PORT=port, since some (the PostgreSQL driver) read "host,port" as two hosts.
[[nodiscard]] NORVEX_API std::string odbc_connection_string(const ConnectionUri& uri,
                                                            std::string_view odbc_driver_env = {});

/// Removes every occurrence of `secret` from `message` (replaced by ***): the foundation's
/// one rule, used on engine messages before they travel in our errors.
using base::scrub;

}  // namespace norvex::sql

#include "norvex/dbkit/connection.hpp"
#include "norvex/base/text.hpp"

#include <exception>

#include "norvex/error.hpp"
#include "odbc.hpp"
#include "output.hpp"

namespace norvex::dbkit {
namespace {

using base::is_blank;

constexpr std::string_view kOdbcDriver = "DRIVER={SQL Server};SERVER=";
constexpr std::string_view kOdbcDatabase = ";DATABASE=";
constexpr std::string_view kOdbcUser = ";UID=";
constexpr std::string_view kOdbcPassword = ";PWD=";
constexpr std::string_view kUnknownError = "unknown error";

// An attribute value that could end the attribute early (';'), be read as a braced value
// ('{', '}') or lose its surrounding blanks goes in braces, with '}' doubled inside.
std::string odbc_value(std::string_view value) {
  const bool needs_braces = value.find_first_of(";{}") != std::string_view::npos ||
                            (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
  if (!needs_braces) return std::string(value);
  std::string braced = "{";
  for (const char c : value) {
    braced += c;
    if (c == '}') braced += '}';
  }
  braced += '}';
  return braced;
}

std::string failure_text(std::string_view engine, std::string_view message) {
  std::string text(kFailedToConnect);
  text += engine;
  text += kFailedToConnectDatabase;
  text += message;
  return text;
}

}  // namespace

std::string mssql_connection_string(std::string_view db_user, std::string_view db_password,
                                    std::string_view db_host, const Port& db_port,
                                    std::string_view db_name) {
  std::string server(db_host);
  server += ',';
  server += to_text(db_port);

  std::string text(kOdbcDriver);
  text += odbc_value(server);
  text += kOdbcDatabase;
  text += odbc_value(db_name);
  text += kOdbcUser;
  text += odbc_value(db_user);
  text += kOdbcPassword;
  text += odbc_value(db_password);
  return text;
}

std::string get_db_connection(std::string_view engine, const std::string& db_user,
                              const std::string& db_password, const std::string& db_host,
                              const Port& db_port, const std::string& db_name) {
  try {
    if (engine == kMysqlEngine) {
      MysqlConnection::connect(db_user, db_password, db_host, db_port, db_name).close();
    } else if (engine == kPostgresEngine) {
      PgConnection::connect(db_user, db_password, db_host, db_port, db_name).close();
    } else if (engine == kMssqlEngine) {
      detail::odbc_connect_and_release(
          mssql_connection_string(db_user, db_password, db_host, db_port, db_name), db_password);
    } else {
      return std::string(kUnsupportedEngine);
    }
    return std::string(kConnectionEstablished);
  } catch (const std::exception& error) {
    return failure_text(engine, detail::scrub(error.what(), db_password));
  } catch (...) {
    return failure_text(engine, kUnknownError);
  }
}

std::optional<MysqlConnection> get_mysql_db_connection(
    const std::optional<std::string>& db_user, const std::optional<std::string>& db_password,
    const std::optional<std::string>& db_host, const Port& db_port,
    const std::optional<std::string>& db_name) {
  std::string message;
  try {
    return MysqlConnection::connect(db_user, db_password, db_host, db_port, db_name);
  } catch (const std::exception& error) {
    message = detail::scrub(error.what(), db_password.value_or(""));
  } catch (...) {
    message = kUnknownError;
  }
  detail::print_line(std::string(kMysqlConnectFailed) + message);
  return std::nullopt;
}

std::optional<PgConnection> get_pgdb_connection(const std::optional<std::string>& db_user,
                                                const std::optional<std::string>& db_password,
                                                const std::optional<std::string>& db_host,
                                                const Port& db_port,
                                                const std::optional<std::string>& db_name) {
  try {
    return PgConnection::connect(db_user, db_password, db_host, db_port, db_name);
  } catch (const DatabaseError& error) {
    detail::print_line(std::string(kPgErrorOpen) +
                       detail::scrub(error.what(), db_password.value_or("")) +
                       std::string(kPgErrorClose));
    return std::nullopt;
  }
}

}  // namespace norvex::dbkit

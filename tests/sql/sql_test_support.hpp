#pragma once
// Shared by every test that touches a database: a Chinook SQLite file built at test time, the
// URIs of the real servers, the one table of Chinook engines, throw-away private servers, and
// a Python round trip of rendered rows.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace norvex::sql::test {

/// A Chinook SQLite file built from the Chinook script once per test program, in a
/// temporary folder removed at exit.
const std::filesystem::path& chinook_sqlite();

/// Builds a SQLite file from SQL text (used for generated databases).
void build_sqlite(const std::filesystem::path& file, const std::string& sql);

/// A fresh temporary folder, removed at exit.
std::filesystem::path temp_dir();

/// Facade URIs of the shared servers, when they run.
std::optional<std::string> mysql_uri();
std::optional<std::string> pg_uri();
/// The PostgreSQL server through the PostgreSQL ODBC driver (SERVER=127.0.0.1;PORT=...).
std::optional<std::string> odbc_pg_uri();

/// "InvoiceLine" -> "invoice_line", "ArtistId" -> "artist_id".
std::string snake_case(const std::string& pascal);

/// Chinook loaded on one engine, with the facts every engine-parameterised test shares.
/// Tests add their own columns next to an entry, keyed by its name.
struct ChinookEngine {
  std::string name;  // "sqlite", "mariadb", "postgresql", "odbc" (PostgreSQL through ODBC)
  std::function<std::optional<std::string>()> uri;  // nothing when its server is not running
  std::string dialect;
  bool snake_case = false;  // PostgreSQL's Chinook spells its names in snake_case
  std::string slow_sql;     // runs far longer (20 s or endlessly) than any time-out a test sets
  std::string connection_id_sql;  // the server's id of the connection; "" without a server
  /// A shell command that ends connection `id` from outside, as an administrator would;
  /// empty without a server.
  std::function<std::string(const std::string& id)> kill_command;

  /// Chinook's name ("InvoiceLine") as this engine spells it.
  [[nodiscard]] std::string spell(const std::string& pascal) const {
    return snake_case ? test::snake_case(pascal) : pascal;
  }
};

/// Test names show the engine's name only.
inline void PrintTo(const ChinookEngine& engine, std::ostream* out) {
  *out << engine.name;
}

/// Every engine, SQLite first.
const std::vector<ChinookEngine>& chinook_engines();
/// The entries with these names, in this order. Throws std::out_of_range for an unknown name.
std::vector<ChinookEngine> chinook_engines(const std::vector<std::string>& names);
/// One entry by name. Throws std::out_of_range for an unknown name.
const ChinookEngine& chinook_engine(const std::string& name);

/// Parameterised over engine entries: SetUp skips (or fails under CI) when the engine's
/// server is not running, and otherwise holds its URI in uri_.
class OnChinookEngine : public ::testing::TestWithParam<ChinookEngine> {
 protected:
  void SetUp() override;
  std::optional<std::string> uri_;
};

/// A throw-away server ("pg" or "mariadb") of our own in a temporary folder, on a free
/// 127.0.0.1 port, so tests that stop or restart a server never touch the shared ones. The
/// ordinary role kProbeUser may log in. Stopped when destroyed. One thread at a time.
class PrivateServer {
 public:
  static constexpr const char* kProbeUser = "norvex_probe";
  static constexpr const char* kProbePassword = "norvex-probe-pw";

  /// Starts the server; ok() says whether that worked (its log is in the folder).
  explicit PrivateServer(std::string engine);
  ~PrivateServer();
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  [[nodiscard]] bool ok() const { return ok_; }
  /// "start", "restart" or "stop"; true when it worked.
  bool control(const std::string& action) const;
  /// Runs SQL as the server's superuser over its local socket; true when it worked.
  bool run_as_admin(const std::string& sql) const;
  [[nodiscard]] int port() const { return port_; }
  /// The facade URI of `database` as the probe role.
  [[nodiscard]] std::string uri(const std::string& database) const;

 private:
  bool shell(const std::string& command) const;

  std::string engine_;
  std::filesystem::path dir_;
  int port_;
  bool ok_ = false;
};

/// Python's repr() of eval(text) by /usr/bin/python3 with datetime and Decimal in scope,
/// or the Python error text prefixed by "error: ".
std::string python_round_trip(const std::string& text);

/// Decodes the escapes of a data-file line: \r \n \t \v \f and \xHH. Any other backslash
/// is itself (write \x5c for a backslash before one of those letters).
std::string unescape_data(const std::string& text);

/// URL-encodes a query parameter value.
std::string url_encode(const std::string& value);

}  // namespace norvex::sql::test

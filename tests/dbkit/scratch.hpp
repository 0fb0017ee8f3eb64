#pragma once
// Scratch databases for the database tool's tests: created by the admin role under a name
// norvex_scratch_dbkit_<pid>_<n>, dropped again when the object goes away.

#include <string>
#include <string_view>

#include "support/servers.hpp"

namespace norvex::dbkit::test {

/// Everything printed to standard output while `action` runs.
template <typename Action>
std::string printed_by(Action&& action) {
  ::testing::internal::CaptureStdout();
  std::forward<Action>(action)();
  return ::testing::internal::GetCapturedStdout();
}

/// Points the tool's configuration at `database` on `server` as its ordinary role.
void use_ordinary_role(const norvex::test::ServerConfig& server, const std::string& database);

class MysqlScratch {
 public:
  explicit MysqlScratch(const norvex::test::ServerConfig& server);
  ~MysqlScratch();
  MysqlScratch(const MysqlScratch&) = delete;
  MysqlScratch& operator=(const MysqlScratch&) = delete;

  [[nodiscard]] const std::string& name() const { return name_; }
  /// Runs statements as the admin role inside the scratch database and commits.
  void run(std::string_view sql) const;
  /// Points the tool's configuration at the scratch database as the admin role.
  void use_as_config() const;

 private:
  norvex::test::ServerConfig server_;
  std::string name_;
};

class PgScratch {
 public:
  explicit PgScratch(const norvex::test::ServerConfig& server);
  ~PgScratch();
  PgScratch(const PgScratch&) = delete;
  PgScratch& operator=(const PgScratch&) = delete;

  [[nodiscard]] const std::string& name() const { return name_; }
  /// Runs statements as the admin role inside the scratch database (automatic commit).
  void run(std::string_view sql) const;
  void use_as_config() const;

 private:
  norvex::test::ServerConfig server_;
  std::string name_;
};

}  // namespace norvex::dbkit::test

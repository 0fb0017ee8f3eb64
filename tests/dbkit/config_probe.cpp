// Started by config_test with a controlled environment. Uses the configuration once, then
// changes the environment and prints the database tool's configuration, the audit and
// whether the ODBC driver manager is in the process: the values must be those of the
// environment at the first use.
#include <dlfcn.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "norvex/dbkit/config.hpp"
#include "norvex/dbkit/connection.hpp"

namespace {

std::string shown(const std::optional<std::string>& value) {
  return value ? *value : "<absent>";
}

}  // namespace

int main() {
  using namespace norvex::dbkit;
  (void)database_config();  // the first use reads the environment
  for (const char* name : {"db_user", "db_password", "db_host", "db_name"}) {
    ::setenv(name, "changed-after-first-use", 1);
  }
  const DatabaseConfig loaded = database_config();
  std::cout << "db_port=" << loaded.db_port << '\n'
            << "db_user=" << shown(loaded.db_user) << '\n'
            << "db_password=" << shown(loaded.db_password) << '\n'
            << "db_host=" << shown(loaded.db_host) << '\n'
            << "db_name=" << shown(loaded.db_name) << '\n'
            << std::flush;

  const auto invalid = check_db_config_variables();
  std::cout << "returned=";
  for (std::size_t i = 0; i < invalid.size(); ++i) std::cout << (i ? "," : "") << invalid[i];
  std::cout << '\n';

  const std::string odbc(kOdbcLibrary);
  std::cout << "odbc loaded=" << (dlopen(odbc.c_str(), RTLD_NOW | RTLD_NOLOAD) ? "yes" : "no")
            << '\n';

  return 0;
}

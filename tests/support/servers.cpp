#include "support/servers.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace norvex::test {
namespace {

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : fallback;
}

std::optional<ServerConfig> from_env(const std::string& prefix) {
  const std::string port = env_or((prefix + "_PORT").c_str(), "");
  if (port.empty()) return std::nullopt;
  ServerConfig config;
  config.host = env_or((prefix + "_HOST").c_str(), "127.0.0.1");
  config.port = std::atoi(port.c_str());
  config.user = env_or((prefix + "_USER").c_str(), "");
  config.password = env_or((prefix + "_PASSWORD").c_str(), "");
  config.database = env_or((prefix + "_DATABASE").c_str(), "");
  config.admin_user = env_or((prefix + "_ADMIN_USER").c_str(), "");
  config.admin_password = env_or((prefix + "_ADMIN_PASSWORD").c_str(), "");
  config.files_user = env_or((prefix + "_FILES_USER").c_str(), "");
  config.files_password = env_or((prefix + "_FILES_PASSWORD").c_str(), "");
  return config;
}

void require(std::optional<ServerConfig> found, const char* what, ServerConfig& out) {
  if (found) {
    out = *found;
    return;
  }
  NORVEX_SKIP_OR_FAIL(std::string(what) +
                      " is not running: start it with `eval \"$(scripts/servers.sh start)\"`");
}

}  // namespace

std::optional<ServerConfig> mysql_server() {
  return from_env("NORVEX_TEST_MYSQL");
}
std::optional<ServerConfig> pg_server() {
  return from_env("NORVEX_TEST_PG");
}

bool in_ci() {
  return env_or("CI", "") == "true";
}

std::filesystem::path chinook_dir() {
  return env_or("NORVEX_CHINOOK_DIR", NORVEX_DEFAULT_CHINOOK_DIR);
}

int closed_local_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 9;  // discard: nothing listens there on these machines
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  int port = 9;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);  // bound but never listening, and now released: connections are refused
  return port;
}

void MysqlTest::SetUp() {
  require(mysql_server(), "the MariaDB test server", server_);
}
void PgTest::SetUp() {
  require(pg_server(), "the PostgreSQL test server", server_);
}

}  // namespace norvex::test

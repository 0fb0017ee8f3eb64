#include "scratch.hpp"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "norvex/dbkit/config.hpp"
#include "norvex/dbkit/connection.hpp"

namespace norvex::dbkit::test {
namespace {

std::string scratch_name() {
  static std::atomic<int> counter{0};
  return "norvex_scratch_dbkit_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
}

MysqlConnection mysql_admin(const norvex::test::ServerConfig& server,
                            const std::optional<std::string>& database) {
  return MysqlConnection::connect(server.admin_user, server.admin_password, server.host,
                                  server.port, database);
}

// CREATE and DROP DATABASE refuse to run inside a transaction, which the tool's own
// PostgreSQL connections always open; the set-up talks to libpq directly.
void pg_admin_run(const norvex::test::ServerConfig& server, const std::string& database,
                  std::string_view sql) {
  const std::string port = std::to_string(server.port);
  const char* keywords[] = {"host", "port", "user", "password", "dbname", nullptr};
  const char* values[] = {server.host.c_str(),       port.c_str(),
                          server.admin_user.c_str(), server.admin_password.c_str(),
                          database.c_str(),          nullptr};
  std::unique_ptr<PGconn, decltype(&PQfinish)> connection(PQconnectdbParams(keywords, values, 0),
                                                          &PQfinish);
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(PQerrorMessage(connection.get()));
  }
  const std::string text(sql);
  std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection.get(), text.c_str()),
                                                       &PQclear);
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQerrorMessage(connection.get()));
  }
}

}  // namespace

void use_ordinary_role(const norvex::test::ServerConfig& server, const std::string& database) {
  set_database_config(database, server.user, server.password, server.host,
                      std::int64_t{server.port});
}

MysqlScratch::MysqlScratch(const norvex::test::ServerConfig& server)
    : server_(server), name_(scratch_name()) {
  auto admin = mysql_admin(server_, std::nullopt);
  admin.execute("CREATE DATABASE `" + name_ + "`");
}

MysqlScratch::~MysqlScratch() {
  try {
    mysql_admin(server_, std::nullopt).execute("DROP DATABASE IF EXISTS `" + name_ + "`");
  } catch (const std::exception& error) {
    ADD_FAILURE() << "dropping " << name_ << ": " << error.what();
  }
}

void MysqlScratch::run(std::string_view sql) const {
  auto admin = mysql_admin(server_, name_);
  admin.execute(sql);
  admin.commit();
}

void MysqlScratch::use_as_config() const {
  set_database_config(name_, server_.admin_user, server_.admin_password, server_.host,
                      std::int64_t{server_.port});
}

PgScratch::PgScratch(const norvex::test::ServerConfig& server)
    : server_(server), name_(scratch_name()) {
  pg_admin_run(server_, "postgres", "CREATE DATABASE " + name_);
}

PgScratch::~PgScratch() {
  // FORCE may meet an autovacuum worker on the new database, which an ordinary role may not
  // end; such a worker is gone a moment later.
  for (int attempt = 1;; ++attempt) {
    try {
      pg_admin_run(server_, "postgres", "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
      return;
    } catch (const std::exception& error) {
      if (attempt < 20 && std::string_view(error.what()).find("must be a member of the role") !=
                              std::string_view::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        continue;
      }
      ADD_FAILURE() << "dropping " << name_ << ": " << error.what();
      return;
    }
  }
}

void PgScratch::run(std::string_view sql) const {
  pg_admin_run(server_, name_, sql);
}

void PgScratch::use_as_config() const {
  set_database_config(name_, server_.admin_user, server_.admin_password, server_.host,
                      std::int64_t{server_.port});
}

}  // namespace norvex::dbkit::test

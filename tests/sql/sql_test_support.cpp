#include "sql_test_support.hpp"

#include <stdlib.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/chinook_sqlite.hpp"
#include "support/servers.hpp"

namespace norvex::sql::test {

// Temporary folders and SQLite files come from the shared test support.
std::filesystem::path temp_dir() {
  return norvex::test::scratch_dir();
}

void build_sqlite(const std::filesystem::path& file, const std::string& sql) {
  norvex::test::build_sqlite_file(file, sql);
}

const std::filesystem::path& chinook_sqlite() {
  return norvex::test::chinook_sqlite_file();
}

std::optional<std::string> mysql_uri() {
  const auto s = norvex::test::mysql_server();
  if (!s) return std::nullopt;
  return "mysql+mysqlconnector://" + s->user + ":" + s->password + "@" + s->host + ":" +
         std::to_string(s->port) + "/" + s->database;
}

std::optional<std::string> pg_uri() {
  const auto s = norvex::test::pg_server();
  if (!s) return std::nullopt;
  return "postgresql+psycopg2://" + s->user + ":" + s->password + "@" + s->host + ":" +
         std::to_string(s->port) + "/" + s->database;
}

std::string unescape_data(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = i + 1 < text.size() && text[i] == '\\' ? text[i + 1] : '\0';
    const std::string_view plain = "rntvf", decoded = "\r\n\t\v\f";
    if (c == 'x' && i + 3 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else if (c != '\0' && plain.find(c) != std::string_view::npos) {
      out += decoded[plain.find(c)];
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string url_encode(const std::string& value) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> odbc_pg_uri() {
  const auto s = norvex::test::pg_server();
  if (!s || std::getenv("ODBCSYSINI") == nullptr) return std::nullopt;
  // The driver's own form: never "SERVER=host,port", which it reads as a second host.
  const std::string raw =
      "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=" + std::to_string(s->port) +
      ";DATABASE=" + s->database + ";UID=" + s->user + ";PWD=" + s->password + ";BoolsAsChar=0";
  return "mssql+pyodbc:///?odbc_connect=" + url_encode(raw);
}

std::string snake_case(const std::string& pascal) {
  std::string out;
  for (std::size_t i = 0; i < pascal.size(); ++i) {
    const auto c = static_cast<unsigned char>(pascal[i]);
    if (std::isupper(c) != 0) {
      if (i != 0) out += '_';
      out += static_cast<char>(std::tolower(c));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

// The server is looked up when the command is made, so the table itself needs no server.
std::string mariadb_kill(const std::string& id) {
  const auto s = norvex::test::mysql_server();
  if (!s) return "false";
  return "mariadb --no-defaults -h " + s->host + " -P " + std::to_string(s->port) + " -u " +
         s->user + " -p'" + s->password + "' -e 'KILL " + id + "'";
}

std::string pg_kill(const std::string& id) {
  const auto s = norvex::test::pg_server();
  if (!s) return "false";
  return "PGPASSWORD='" + s->password + "' psql -X -q -h " + s->host + " -p " +
         std::to_string(s->port) + " -U " + s->user + " -d " + s->database +
         " -c 'SELECT pg_terminate_backend(" + id + ")'";
}

}  // namespace

const std::vector<ChinookEngine>& chinook_engines() {
  static const std::vector<ChinookEngine> engines = {
      {"sqlite", [] { return std::optional("sqlite:///" + chinook_sqlite().string()); }, "sqlite",
       false,
       "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c", "",
       nullptr},
      {"mariadb", mysql_uri, "mysql", false, "SELECT SLEEP(20)", "SELECT CONNECTION_ID()",
       mariadb_kill},
      {"postgresql", pg_uri, "postgresql", true, "SELECT pg_sleep(20)", "SELECT pg_backend_pid()",
       pg_kill},
      {"odbc", odbc_pg_uri, "postgresql", true, "SELECT pg_sleep(20)", "SELECT pg_backend_pid()",
       pg_kill},
  };
  return engines;
}

const ChinookEngine& chinook_engine(const std::string& name) {
  for (const auto& engine : chinook_engines()) {
    if (engine.name == name) return engine;
  }
  throw std::out_of_range("no Chinook engine named " + name);
}

std::vector<ChinookEngine> chinook_engines(const std::vector<std::string>& names) {
  std::vector<ChinookEngine> out;
  for (const auto& name : names) out.push_back(chinook_engine(name));
  return out;
}

void OnChinookEngine::SetUp() {
  uri_ = GetParam().uri();
  if (!uri_) NORVEX_SKIP_OR_FAIL(GetParam().name + " is not available (start scripts/servers.sh)");
}

PrivateServer::PrivateServer(std::string engine)
    : engine_(std::move(engine)), dir_(temp_dir()), port_(norvex::test::closed_local_port()) {
  ok_ = control("start");
}

PrivateServer::~PrivateServer() {
  control("stop");
}

bool PrivateServer::control(const std::string& action) const {
  return shell(std::string(NORVEX_SQL_PRIVATE_SERVER) + " " + engine_ + " " + action + " " +
               dir_.string() + " " + std::to_string(port_));
}

bool PrivateServer::run_as_admin(const std::string& sql) const {
  // Through a file, so the SQL needs no shell quoting.
  const auto file = dir_ / "admin.sql";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << sql << '\n';
  }
  if (engine_ == "pg") {
    return shell("psql -X -q -v ON_ERROR_STOP=1 -h " + (dir_ / "run").string() + " -p " +
                 std::to_string(port_) + " -U postgres -d postgres -f " + file.string());
  }
  return shell("mariadb --no-defaults --socket=" + (dir_ / "my.sock").string() + " --user=root < " +
               file.string());
}

std::string PrivateServer::uri(const std::string& database) const {
  const std::string where = std::string(kProbeUser) + ":" + kProbePassword +
                            "@127.0.0.1:" + std::to_string(port_) + "/" + database;
  return (engine_ == "pg" ? "postgresql+psycopg2://" : "mysql+mysqlconnector://") + where;
}

bool PrivateServer::shell(const std::string& command) const {
  const std::string logged = command + " >>" + (dir_ / "control.log").string() + " 2>&1";
  return std::system(logged.c_str()) == 0;
}

std::string python_round_trip(const std::string& text) {
  const auto dir = temp_dir();
  const auto input = dir / "input.txt";
  {
    std::ofstream out(input, std::ios::binary);
    out << text;
  }
  const std::string command =
      "/usr/bin/python3 -c 'import datetime, sys\nfrom decimal import Decimal\n"
      "text = open(sys.argv[1], encoding=\"utf-8\", errors=\"surrogateescape\").read()\n"
      "try:\n    print(repr(eval(text)), end=\"\")\nexcept Exception as e:\n"
      "    print(\"error: \" + repr(e), end=\"\")' " +
      input.string() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "error: popen failed";
  std::string out;
  std::array<char, 4096> buffer{};
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  ::pclose(pipe);
  return out;
}

}  // namespace norvex::sql::test

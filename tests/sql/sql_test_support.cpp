#include "sql_test_support.hpp"

#include <stdlib.h>

#include <array>
#include <cstdio>
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

#include "sql_test_support.hpp"

#include <sqlite3.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/servers.hpp"

namespace norvex::sql::test {
namespace {

// Removes the temporary folders when the test program ends.
struct TempDirs {
  std::vector<std::filesystem::path> dirs;
  ~TempDirs() {
    for (const auto& dir : dirs) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  }
};

TempDirs& temp_dirs() {
  static TempDirs dirs;
  return dirs;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::filesystem::path temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "norvex-sql-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  temp_dirs().dirs.emplace_back(pattern);
  return pattern;
}

void build_sqlite(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot create " + file.string());
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string why = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("building " + file.string() + ": " + why);
}

const std::filesystem::path& chinook_sqlite() {
  static const std::filesystem::path file = [] {
    const auto path = temp_dir() / "chinook.db";
    build_sqlite(path, read_file(norvex::test::chinook_dir() / "chinook_sqlite.sql"));
    return path;
  }();
  return file;
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

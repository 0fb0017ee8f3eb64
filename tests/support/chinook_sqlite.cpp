#include "support/chinook_sqlite.hpp"

#include <sqlite3.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "support/servers.hpp"

namespace norvex::test {
namespace {

// Removes the temporary folders when the test program ends.
struct ScratchDirs {
  std::vector<std::filesystem::path> dirs;
  ~ScratchDirs() {
    for (const auto& dir : dirs) {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  }
};

ScratchDirs& scratch_dirs() {
  static ScratchDirs dirs;
  return dirs;
}

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::filesystem::path scratch_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "norvex-db-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  scratch_dirs().dirs.emplace_back(pattern);
  return pattern;
}

void build_sqlite_file(const std::filesystem::path& file, const std::string& sql) {
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

const std::filesystem::path& chinook_sqlite_file() {
  static const std::filesystem::path file = [] {
    const auto path = scratch_dir() / "chinook.db";
    build_sqlite_file(path, read_text(chinook_dir() / "chinook_sqlite.sql"));
    return path;
  }();
  return file;
}

std::string chinook_sqlite_uri() {
  return "sqlite:///" + chinook_sqlite_file().string();
}

}  // namespace norvex::test

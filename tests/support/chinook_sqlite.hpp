#pragma once
// SQLite databases built at test time: Chinook from its script, or any SQL text, in
// temporary folders that are removed when the test program ends.

#include <filesystem>
#include <string>

namespace norvex::test {

/// A Chinook SQLite file built from chinook_dir()/chinook_sqlite.sql once per test program.
/// Throws std::runtime_error when the script cannot be read or run.
const std::filesystem::path& chinook_sqlite_file();

/// The facade URI of chinook_sqlite_file(): "sqlite:///<path>".
std::string chinook_sqlite_uri();

/// Builds a SQLite file from SQL text. Throws std::runtime_error naming the file.
void build_sqlite_file(const std::filesystem::path& file, const std::string& sql);

/// A fresh temporary folder, removed when the test program ends.
std::filesystem::path scratch_dir();

}  // namespace norvex::test

#pragma once
// Shared by the facade's tests: a Chinook SQLite file built at test time, the URIs of the
// real servers, and a Python round trip of rendered rows.

#include <filesystem>
#include <optional>
#include <string>

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

/// Python's repr() of eval(text) by /usr/bin/python3 with datetime and Decimal in scope,
/// or the Python error text prefixed by "error: ".
std::string python_round_trip(const std::string& text);

/// URL-encodes a query parameter value.
std::string url_encode(const std::string& value);

}  // namespace norvex::sql::test

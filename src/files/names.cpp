// Table and column names, and the texts that name files on a command line or in a list of
// databases.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "norvex/files/files.hpp"

namespace norvex::files {
namespace {

using base::lower;

// Words a model writes unquoted at its peril; a column called "order" becomes "order_".
constexpr std::array<std::string_view, 34> kReserved = {
    "all",    "and",   "as",      "asc",    "between", "by",       "case",   "check", "column",
    "create", "cross", "default", "delete", "desc",    "distinct", "drop",   "else",  "end",
    "from",   "group", "having",  "in",     "index",   "inner",    "insert", "join",  "limit",
    "not",    "null",  "on",      "or",     "order",   "select",   "where"};

bool plausible_name(std::string_view name) {
  return !name.empty() && name.find_first_of("/.\\") == std::string_view::npos;
}

}  // namespace

std::string make_identifier(std::string_view text, std::string_view fallback) {
  std::string out;
  bool gap = false;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c >= 0x80;
    if (!keep) {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) out += '_';
    gap = false;
    out += ch;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  if (out.empty()) return std::string(fallback);
  // SQLite keeps names starting "sqlite_" for itself.
  if ((out[0] >= '0' && out[0] <= '9') || lower(out).rfind("sqlite_", 0) == 0) out = "_" + out;
  if (std::find(kReserved.begin(), kReserved.end(), lower(out)) != kReserved.end()) out += '_';
  return out;
}

std::string_view type_name(ColumnType type) noexcept {
  switch (type) {
    case ColumnType::integer:
      return "INTEGER";
    case ColumnType::real:
      return "REAL";
    case ColumnType::boolean:
      return "BOOLEAN";
    case ColumnType::date:
      return "DATE";
    case ColumnType::timestamp:
      return "TIMESTAMP";
    case ColumnType::text:
      break;
  }
  return "TEXT";
}

FileSpec parse_file_argument(std::string_view text) {
  FileSpec entry;
  const auto equals = text.find('=');
  if (equals != std::string_view::npos && plausible_name(text.substr(0, equals))) {
    entry.table = std::string(text.substr(0, equals));
    text.remove_prefix(equals + 1);
  } else if (equals == 0) {
    throw ArgumentError("'" + std::string(text) + "' has an empty table name before '='");
  }
  if (text.empty()) throw ArgumentError("a file argument needs a path");
  entry.path = std::string(text);
  return entry;
}

std::optional<FileDatabaseEntry> parse_database_entry(std::string_view text) {
  constexpr std::string_view kPrefix = "file:";
  const auto equals = text.find('=');
  if (equals == std::string_view::npos || text.substr(equals + 1).rfind(kPrefix, 0) != 0) {
    return std::nullopt;
  }
  FileDatabaseEntry entry;
  entry.name = std::string(text.substr(0, equals));
  if (entry.name.empty()) {
    throw ArgumentError("the database entry '" + std::string(text) + "' has no name before '='");
  }
  std::string_view list = text.substr(equals + 1 + kPrefix.size());
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (!item.empty()) entry.files.push_back(parse_file_argument(item));
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (entry.files.empty()) {
    throw ArgumentError("the database entry '" + entry.name + "' lists no files after 'file:'");
  }
  return entry;
}

}  // namespace norvex::files

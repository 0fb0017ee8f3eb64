// Table and column names, and the texts that name files on a command line or in a list of
// databases.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "norvex/files/files.hpp"
#include "source.hpp"

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

// The code point of the UTF-8 sequence at `at` and its length; a stray byte is itself.
std::pair<char32_t, std::size_t> code_point_at(std::string_view text, std::size_t at) {
  const auto c = static_cast<unsigned char>(text[at]);
  const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (length == 1 || at + length > text.size()) return {c, 1};
  char32_t point = c & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return {c, 1};
    point = (point << 6) | (next & 0x3F);
  }
  return {point, length};
}

// Spaces, line and paragraph separators, controls and invisible format characters beyond
// ASCII: a header "Montant<no-break space>TTC" must not become a name that looks like it
// holds an ordinary space, and none of them may break a line shown to the model.
bool unicode_blank(char32_t c) {
  return (c >= 0x80 && c <= 0xA0) || c == 0xAD || c == 0x1680 || c == 0x180E ||
         (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) ||
         (c >= 0x205F && c <= 0x206F) || c == 0x3000 || c == 0xFEFF;
}

// Names longer than this are cut (at a character's boundary): a crafted header of a megabyte
// would otherwise fill every prompt that shows the table.
constexpr std::size_t kMaxIdentifierBytes = 100;

}  // namespace

std::string detail::printable_text(std::string_view text, std::size_t max_bytes) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const auto [point, length] = code_point_at(text, at);
    if (out.size() + length > max_bytes) {
      out += "...";
      break;
    }
    if (point < 0x20 || point == 0x7F || (length > 1 && unicode_blank(point))) {
      out += ' ';
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

std::string make_identifier(std::string_view text, std::string_view fallback) {
  std::string out;
  bool gap = false;
  for (std::size_t at = 0; at < text.size();) {
    const auto [point, length] = code_point_at(text, at);
    const std::string_view piece = text.substr(at, length);
    at += length;
    const bool keep = (point >= 'a' && point <= 'z') || (point >= 'A' && point <= 'Z') ||
                      (point >= '0' && point <= '9') || point == '_' ||
                      (point >= 0x80 && !(length > 1 && unicode_blank(point)));
    if (!keep) {
      gap = true;
      continue;
    }
    if (out.size() + (gap && !out.empty() ? 1 : 0) + piece.size() > kMaxIdentifierBytes) break;
    if (gap && !out.empty()) out += '_';
    gap = false;
    out += piece;
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

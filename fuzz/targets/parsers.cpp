#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_targets.hpp"
#include "norvex/agent/dotenv.hpp"
#include "norvex/error.hpp"
#include "norvex/llm/chat_model.hpp"
#include "norvex/sql/row_parser.hpp"
#include "norvex/sql/rows.hpp"
#include "norvex/sql/uri.hpp"

namespace norvex::fuzz {
namespace {

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

std::size_t occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

namespace {

// Composes a URI from parts read off the input, as a configuration does, and checks that
// parse_uri takes the same parts back and never shows the password.
void uri_round_trip(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  auto next = [&]() -> unsigned char { return at < size ? data[at++] : 0; };
  auto part = [&](std::string_view alphabet, std::size_t min) {
    std::string out;
    const std::size_t n = next() % 16 + min;
    while (out.size() < n) out += alphabet[next() % alphabet.size()];
    return out;
  };
  static constexpr std::string_view kNameChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-";
  // Printable ASCII but '?', '#' and '*' (the masking text): passwords may hold '@', ':', '/'.
  static constexpr std::string_view kPasswordChars =
      "!\"$%&'()+,-./"
      "0123456789:;<=>@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
  static constexpr std::string_view kSchemes[] = {"postgresql", "mysql+pymysql", "mariadb",
                                                  "postgres", "mssql+pyodbc"};
  const std::string_view scheme = kSchemes[next() % std::size(kSchemes)];
  const std::string user = part(kNameChars, 1);
  const std::string password = part(kPasswordChars, 8);
  const int port = (next() << 8 | next()) % 65535 + 1;
  const std::string database = part(kNameChars.substr(0, 63), 1);
  const std::string text = std::string(scheme) + "://" + user + ":" + password +
                           "@127.0.0.1:" + std::to_string(port) + "/" + database;
  const sql::ConnectionUri uri = sql::parse_uri(text);  // a well-formed URI must parse
  fuzz_check(uri.user == user, "the user reads back");
  fuzz_check(uri.has_password && uri.password == password, "the password reads back");
  fuzz_check(uri.host == "127.0.0.1", "the host reads back");
  fuzz_check(uri.port == port, "the port reads back");
  fuzz_check(uri.database == database, "the database reads back");
  if (occurrences(text, password) == 1) {
    fuzz_check(uri.masked.find(password) == std::string::npos, "parse_uri masks the password");
    fuzz_check(sql::mask_uri(text).find(password) == std::string::npos,
               "mask_uri masks the password");
  }
}

}  // namespace

void fuzz_uri(const std::uint8_t* data, std::size_t size) {
  // Inputs starting with 0x01 describe a URI to compose and read back; the rest are text.
  if (size > 0 && data[0] == 1) {
    uri_round_trip(data + 1, size - 1);
    return;
  }
  const std::string_view text = as_text(data, size);
  const std::string masked = sql::mask_uri(text);  // never throws
  (void)sql::mask_odbc_string(text);
  sql::ConnectionUri uri;
  try {
    uri = sql::parse_uri(text);
  } catch (const DatabaseError&) {
    return;
  }
  // A password written once, long enough not to be an accident of the other parts, never
  // survives masking.
  const std::string& password = uri.password;
  if (password.size() >= 6 && password.find('*') == std::string::npos &&
      occurrences(text, password) == 1) {
    fuzz_check(uri.masked.find(password) == std::string::npos, "parse_uri masks the password");
    fuzz_check(masked.find(password) == std::string::npos, "mask_uri masks the password");
  }
  if (uri.port) fuzz_check(*uri.port >= 0 && *uri.port <= 65535, "ports are in range");
  for (const auto& [name, value] : uri.query) (void)uri.parameter(name);
  if (uri.engine == sql::Engine::odbc) {
    (void)sql::mask_odbc_string(sql::odbc_connection_string(uri, "FreeTDS"));
  }
}

void fuzz_dotenv(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = as_text(data, size);
  const agent::DotenvFile file = agent::parse_dotenv(text);  // never throws
  // '\r' alone also ends a line, so this bounds the line count from above.
  const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n') +
                                                     std::count(text.begin(), text.end(), '\r')) +
                            1;
  for (const auto& [name, value] : file.variables) {
    fuzz_check(!name.empty(), "variable names are not empty");
    // The environment cannot hold a name with '=' or NUL, nor a value with NUL.
    fuzz_check(name.find_first_of(std::string_view("=\0 \t\r\n#'\"", 9)) == std::string::npos,
               "variable names hold no '=', NUL, blank, line break, quote or '#'");
    fuzz_check(value.find('\0') == std::string::npos, "values hold no NUL");
  }
  std::size_t previous = 0;
  for (const auto line : file.skipped_lines) {
    fuzz_check(line >= 1 && line <= lines, "skipped lines exist");
    fuzz_check(line > previous, "skipped lines are in order, each once");
    previous = line;
  }
}

void fuzz_record(const std::uint8_t* data, std::size_t size) {
  static const llm::RecordSchema schema{"query_answer",
                                        {{"sql_query", llm::FieldType::text, "the query"},
                                         {"tables", llm::FieldType::text_list, "the tables"}}};
  llm::Json record;
  try {
    record = llm::parse_record(schema, as_text(data, size));
  } catch (const OutputParseError&) {
    return;
  }
  fuzz_check(record.is_object() && record.size() == 2, "a record has exactly its fields");
  fuzz_check(record.contains("sql_query") && record["sql_query"].is_string(), "text field");
  fuzz_check(record.contains("tables") && record["tables"].is_array(), "list field");
  for (const auto& item : record["tables"]) fuzz_check(item.is_string(), "list of texts");
  (void)record.dump();  // the record is sent on as valid UTF-8 JSON
}

namespace {

// Reads cells from the input bytes, renders them as the database facade does, and checks
// that the command line reads back exactly Python's str() of each cell.
void rows_round_trip(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
  auto chunk = [&](bool ascii) {
    std::string text;
    for (std::size_t n = next() % 12; n > 0 && at < size; --n) {
      const char c = static_cast<char>(next());
      if (!ascii) {
        text += c;
      } else if (static_cast<unsigned char>(c) < 0x80) {
        text += c;
      } else {
        text += "\xc3\xa9";  // keep texts valid UTF-8, yet not only ASCII
      }
    }
    return text;
  };
  const std::size_t width = next() % 4 + 1;
  const bool labelled = (next() & 1) != 0;
  std::vector<std::string> columns;
  for (std::size_t c = 0; c < width; ++c) columns.push_back(chunk(true));
  std::vector<sql::Row> rows;
  while (at < size && rows.size() < 16) {
    sql::Row row;
    for (std::size_t c = 0; c < width; ++c) {
      switch (next() % 6) {
        case 0:
          row.push_back(sql::Value::null_value());
          break;
        case 1:
          row.push_back(sql::Value::of_bool((next() & 1) != 0));
          break;
        case 2: {
          std::int64_t i = 0;
          for (int b = 0; b < 8; ++b)
            i = static_cast<std::int64_t>(static_cast<std::uint64_t>(i) << 8 | next());
          row.push_back(sql::Value::of_int(i));
          break;
        }
        case 3: {
          std::uint64_t bits = 0;
          for (int b = 0; b < 8; ++b) bits = bits << 8 | next();
          double d = 0;
          std::memcpy(&d, &bits, sizeof d);
          if (!std::isfinite(d)) d = 0.5;
          row.push_back(sql::Value::of_real(d));
          break;
        }
        case 4:
          row.push_back(sql::Value::of(sql::Value::Kind::text, chunk(true)));
          break;
        default:
          row.push_back(sql::Value::of(sql::Value::Kind::bytes, chunk(false)));
          break;
      }
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) return;
  const std::string text = sql::render_rows(columns, rows, labelled);
  const auto parsed = sql::parse_python_rows(text);
  fuzz_check(parsed.has_value(), "rendered rows read back");
  if (labelled) {
    // A repeated label is one dict key in Python; compare only results without repeats.
    std::vector<std::string> sorted = columns;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return;
    fuzz_check(parsed->columns == columns, "labels read back");
  }
  fuzz_check(parsed->rows.size() == rows.size(), "every row read back");
  fuzz_check(parsed->rows_left_out == 0, "no rows left out");
  for (std::size_t r = 0; r < rows.size(); ++r) {
    fuzz_check(parsed->rows[r].size() == width, "every cell read back");
    for (std::size_t c = 0; c < width; ++c) {
      fuzz_check(parsed->rows[r][c] == sql::plain_text(rows[r][c]), "cells read back as str()");
    }
  }
}

}  // namespace

void fuzz_python_rows(const std::uint8_t* data, std::size_t size) {
  // Inputs starting with 0x01 describe cells to render and read back; the rest are text.
  if (size > 0 && data[0] == 1) {
    rows_round_trip(data + 1, size - 1);
    return;
  }
  const auto parsed = sql::parse_python_rows(as_text(data, size));  // never throws
  if (!parsed) return;
  for (const auto& row : parsed->rows) {
    if (!parsed->columns.empty()) {
      fuzz_check(row.size() == parsed->columns.size(), "every row has one cell per column");
    } else {
      fuzz_check(row.size() == parsed->rows.front().size(), "rows are not ragged");
    }
  }
  (void)sql::format_table(*parsed);
}

}  // namespace norvex::fuzz

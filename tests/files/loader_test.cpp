// Files made by the tests loaded into SQLite: what every value becomes, how names are made,
// how bad input is reported, and that the result serves questions read-only.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "confine.h"
#include "norvex/error.hpp"
#include "norvex/files/files.hpp"
#include "support/python_scratch.hpp"
#include "support/servers.hpp"

namespace norvex::files {
namespace {

using test::ScratchDir;
using Rows = std::vector<std::vector<std::string>>;

std::filesystem::path write(const ScratchDir& dir, const std::string& name,
                            const std::string& content) {
  const auto path = dir / name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// Every cell as "type:value" (typeof() and the text), NULL as "null".
Rows query(const std::filesystem::path& db, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Rows rows;
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
      << sqlite3_errmsg(raw);
  while (statement && sqlite3_step(statement) == SQLITE_ROW) {
    auto& row = rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const int type = sqlite3_column_type(statement, i);
      if (type == SQLITE_NULL) {
        row.emplace_back("null");
        continue;
      }
      const char* kind = type == SQLITE_INTEGER ? "int:" : type == SQLITE_FLOAT ? "real:" : "text:";
      row.push_back(kind +
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i))));
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(raw);
  return rows;
}

std::vector<std::string> columns_of(const TableReport& table) {
  std::vector<std::string> out;
  for (const auto& c : table.columns) out.push_back(c.name + " " + std::string(type_name(c.type)));
  return out;
}

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

// One case of cases.txt: a file's text and what it must load as.
struct FileCase {
  std::string title;
  std::string file;
  std::vector<std::string> options;
  std::string text;
  std::string columns;
  std::vector<std::string> rows;
  std::vector<std::string> notes;
  std::string skipped;
  std::string error;
};

std::string unescape(const std::string& line) {
  std::string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    const char c = line[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (c == 'R') {
      const auto colon = line.find(':', i);
      out += std::string(std::stoul(line.substr(i + 1, colon - i - 1)), line[colon + 1]);
      i = colon + 1;
    } else {
      out += c == 'r' ? '\r' : c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
  }
  return out;
}

std::vector<FileCase> read_cases(const std::string& path) {
  std::ifstream in(path);
  std::vector<FileCase> cases;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("#", 0) == 0 || (line.empty() && section != "text")) continue;
    if (line.rfind("== ", 0) == 0) {
      cases.push_back({line.substr(3)});
      section.clear();
      continue;
    }
    auto& c = cases.back();
    const auto colon = line.find(": ");
    const std::string key = line.back() == ':'           ? line.substr(0, line.size() - 1)
                            : colon == std::string::npos ? std::string()
                                                         : line.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 2);
    if (key == "file") {
      c.file = value;
    } else if (key == "options") {
      std::istringstream words(value);
      for (std::string w; words >> w;) c.options.push_back(w);
    } else if (key == "columns") {
      c.columns = value;
    } else if (key == "notes") {
      c.notes.push_back(value);
    } else if (key == "skipped") {
      c.skipped = value;
    } else if (key == "error") {
      c.error = value;
    } else if (key == "text" || key == "rows") {
      section = key;
    } else if (section == "text") {
      if (!line.empty() && line.back() == '\\' &&
          (line.size() < 2 || line[line.size() - 2] != '\\')) {
        c.text += unescape(line.substr(0, line.size() - 1));
      } else {
        c.text += unescape(line) + "\n";
      }
    } else if (section == "rows") {
      c.rows.push_back(line);
    }
  }
  return cases;
}

TEST(FileCases, EachFileLoadsAsExpected) {
  const auto cases = read_cases(NORVEX_FILE_CASES);
  ASSERT_GT(cases.size(), 20u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const ScratchDir dir("norvex-files");
    const auto file = write(dir, c.file, c.text);
    LoadOptions options;
    for (const auto& option : c.options) {
      if (option == "skip-bad-rows") options.skip_bad_rows = true;
      if (option == "decimal-comma") options.decimal_comma = true;
      if (option == "header=yes") options.header = HeaderMode::present;
      if (option == "header=no") options.header = HeaderMode::absent;
      if (option == "date-order=dmy") options.date_order = DateOrder::dmy;
      if (option == "date-order=mdy") options.date_order = DateOrder::mdy;
      if (option.rfind("column-type=", 0) == 0) {
        const auto chosen = option.substr(12);
        const auto eq = chosen.find('=');
        options.column_types.push_back({chosen.substr(0, eq), chosen.substr(eq + 1) == "REAL"
                                                                  ? ColumnType::real
                                                                  : ColumnType::text});
      }
    }
    const auto db = dir / "cases.db";
    if (!c.error.empty()) {
      const auto message = error_of([&] { (void)load_files({{"", file}}, db, options); });
      EXPECT_NE(message.find(c.error), std::string::npos) << message;
      EXPECT_FALSE(std::filesystem::exists(db));
      continue;
    }
    LoadReport report;
    try {
      report = load_files({{"", file}}, db, options);
    } catch (const Error& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    ASSERT_EQ(report.size(), 1u);
    std::string columns;
    for (const auto& column : columns_of(report[0]))
      columns += (columns.empty() ? "" : ", ") + column;
    EXPECT_EQ(columns, c.columns);
    if (!c.rows.empty()) {
      std::vector<std::string> rows;
      for (const auto& row : query(db, "SELECT * FROM \"" + report[0].name + "\"")) {
        std::string line;
        for (const auto& cell : row) line += (line.empty() ? "" : " | ") + cell;
        rows.push_back(line);
      }
      EXPECT_EQ(rows, c.rows);
    }
    std::string notes;
    for (const auto& note : report[0].notes) notes += note + "\n";
    for (const auto& note : c.notes) EXPECT_NE(notes.find(note), std::string::npos) << notes;
    if (!c.skipped.empty()) {
      std::string skipped = std::to_string(report[0].skipped_rows) + " at";
      for (const auto line : report[0].skipped_lines) skipped += " " + std::to_string(line);
      EXPECT_EQ(skipped, c.skipped);
    }
  }
}

TEST(DelimitedFile, QuotedFieldsBomSemicolonsAndEveryTypeLoadAsWritten) {
  const ScratchDir dir("norvex-files");
  const auto file =
      write(dir, "Shop Orders.csv",
            "\xef\xbb\xbfid;customer;total;placed;shipped;paid;postcode\r\n"
            "1;\"Smith; John\";12.50;2024-01-31;2024-02-01T10:15:00Z;true;00501\r\n"
            "2;\"line one\nline \"\"two\"\"\";-3;2024-02-29;2024-02-03 08:00;FALSE;10115\r\n"
            "3;;1e3;;;;\r\n");
  const auto db = dir / "files.db";
  const auto report = load_files({{"", file}}, db);
  ASSERT_EQ(report.size(), 1u);
  const auto& table = report[0];
  EXPECT_EQ(table.name, "Shop_Orders");
  EXPECT_EQ(table.delimiter, ';');
  EXPECT_TRUE(table.header);
  EXPECT_EQ(table.rows, 3u);
  // Leading zeros keep a postcode text; dates with and without times stay apart.
  EXPECT_EQ(columns_of(table),
            (std::vector<std::string>{"id INTEGER", "customer TEXT", "total REAL", "placed DATE",
                                      "shipped TIMESTAMP", "paid BOOLEAN", "postcode TEXT"}));
  EXPECT_EQ(query(db, "SELECT * FROM Shop_Orders ORDER BY id"),
            (Rows{{"int:1", "text:Smith; John", "real:12.5", "text:2024-01-31",
                   "text:2024-02-01T10:15:00Z", "int:1", "text:00501"},
                  {"int:2", "text:line one\nline \"two\"", "real:-3.0", "text:2024-02-29",
                   "text:2024-02-03 08:00", "int:0", "text:10115"},
                  {"int:3", "null", "real:1000.0", "null", "null", "null", "null"}}));
  // Aggregates and date filters work on the inferred types.
  EXPECT_EQ(query(db, "SELECT SUM(total), COUNT(*) FROM Shop_Orders WHERE placed >= '2024-02-01'"),
            (Rows{{"real:-3.0", "int:1"}}));
}

TEST(DelimitedFile, ColumnNamesAreValidUniqueAndTheHeaderIsDetected) {
  const ScratchDir dir("norvex-files");
  const auto named = write(dir, "names.tsv", "name\t\tName\torder\t2024 total\nA\tB\tC\tD\t5\n");
  const auto numbers = write(dir, "numbers.csv", "1,2.5\n3,4\n");
  const auto header_only = write(dir, "empty-table.csv", "a,b\n");
  const auto report = inspect_files({{"", named}, {"", numbers}, {"", header_only}});
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(columns_of(report[0]),
            (std::vector<std::string>{"name TEXT", "column_2 TEXT", "Name_2 TEXT", "order_ TEXT",
                                      "_2024_total INTEGER"}));
  EXPECT_EQ(report[0].columns[2].header, "Name");
  EXPECT_FALSE(report[1].header);  // a first row of numbers is data
  EXPECT_EQ(report[1].rows, 2u);
  EXPECT_EQ(columns_of(report[1]), (std::vector<std::string>{"column_1 INTEGER", "column_2 REAL"}));
  EXPECT_EQ(report[2].name, "empty_table");
  EXPECT_EQ(report[2].rows, 0u);
  EXPECT_EQ(columns_of(report[2]), (std::vector<std::string>{"a TEXT", "b TEXT"}));

  // Tables named after files give way to each other and to names chosen by the user.
  const auto again = write(dir, "sub/names.csv", "");
  std::filesystem::create_directories(dir / "sub");
  write(dir, "sub/names.csv", "x\n1\n");
  const auto tables = inspect_files({{"", named}, {"", again}, {"names_2", numbers}});
  EXPECT_EQ(tables[0].name, "names");
  EXPECT_EQ(tables[1].name, "names_3");
  EXPECT_EQ(tables[2].name, "names_2");
}

TEST(DelimitedFile, MalformedRowsNameTheirLineUnlessSkipped) {
  const ScratchDir dir("norvex-files");
  // The short row starts on line 5: the quoted field before it spans two lines.
  const auto ragged = write(dir, "ragged.csv", "a,b\n1,2\n\n3,\"x\ny\"\n4\n5,6,7\n8,9\n");
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", ragged}});
            }).find("ragged.csv, line 6: expected 2 fields, found 1"),
            std::string::npos);
  LoadOptions skip;
  skip.skip_bad_rows = true;
  const auto db = dir / "skip.db";
  const auto report = load_files({{"", ragged}}, db, skip);
  EXPECT_EQ(report[0].rows, 3u);
  EXPECT_EQ(report[0].skipped_rows, 2u);
  EXPECT_EQ(report[0].skipped_lines, (std::vector<std::uint64_t>{6, 7}));
  EXPECT_EQ(query(db, "SELECT a FROM ragged"), (Rows{{"int:1"}, {"int:3"}, {"int:8"}}));

  const auto open_quote = write(dir, "open.csv", "a,b\n1,2\n3,\"never closed\n4,5\n");
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", open_quote}}, skip);
            }).find("open.csv, line 3: a quoted field starts here and is never closed"),
            std::string::npos);
  const auto empty = write(dir, "empty.csv", "");
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", empty}});
            }).find("empty.csv is empty"),
            std::string::npos);
}

TEST(DelimitedFile, BytesThatAreNotUtf8AreReadAsWindows1252) {
  const ScratchDir dir("norvex-files");
  const auto file = write(dir, "latin.csv",
                          "Stra\xdf"
                          "e,Preis\nK\xf6ln,\x80 5\n");
  const auto db = dir / "latin.db";
  const auto report = load_files({{"", file}}, db);
  EXPECT_EQ(report[0].encoding, "windows-1252");
  EXPECT_EQ(report[0].columns[0].name, "Straße");
  EXPECT_EQ(query(db, "SELECT * FROM latin"), (Rows{{"text:Köln", "text:€ 5"}}));
}

TEST(JsonLines, ColumnsAreTheUnionOfKeysAndBadLinesNameTheirLine) {
  const ScratchDir dir("norvex-files");
  const auto file = write(dir, "events.jsonl",
                          "{\"id\": 1, \"at\": \"2024-03-01T09:00:00\", \"ok\": true}\n"
                          "\n"
                          "{\"id\": 2, \"code\": \"007\", \"tags\": [\"a\"], \"amount\": 2.5}\n"
                          "{\"id\": 3, \"code\": 12, \"amount\": 3, \"ok\": null}\n");
  const auto db = dir / "events.db";
  const auto report = load_files({{"", file}}, db);
  EXPECT_EQ(columns_of(report[0]),
            (std::vector<std::string>{"id INTEGER", "at TIMESTAMP", "ok BOOLEAN", "code TEXT",
                                      "tags TEXT", "amount REAL"}));
  EXPECT_EQ(query(db, "SELECT * FROM events ORDER BY id"),
            (Rows{{"int:1", "text:2024-03-01T09:00:00", "int:1", "null", "null", "null"},
                  {"int:2", "null", "null", "text:007", "text:[\"a\"]", "real:2.5"},
                  {"int:3", "null", "null", "text:12", "null", "real:3.0"}}));

  const auto bad = write(dir, "bad.jsonl", "{\"a\": 1}\n[1, 2]\n{\"a\": \n");
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", bad}});
            }).find("bad.jsonl, line 2: not a JSON object"),
            std::string::npos);
  LoadOptions skip;
  skip.skip_bad_rows = true;
  const auto skipped = inspect_files({{"", bad}}, skip);
  EXPECT_EQ(skipped[0].rows, 1u);
  EXPECT_EQ(skipped[0].skipped_lines, (std::vector<std::uint64_t>{2, 3}));
}

TEST(FileArguments, NamesPathsAndDatabaseEntriesParse) {
  EXPECT_EQ(parse_file_argument("sales=data/2024.csv").table, "sales");
  EXPECT_EQ(parse_file_argument("sales=data/2024.csv").path, "data/2024.csv");
  // An "=" inside a path is part of the path.
  EXPECT_EQ(parse_file_argument("./a=b.csv").path, "./a=b.csv");
  EXPECT_EQ(parse_file_argument("./a=b.csv").table, "");
  EXPECT_THROW((void)parse_file_argument("sales="), ArgumentError);

  const auto entry = parse_database_entry("shop=file:orders.csv,people=/srv/customers.jsonl");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "shop");
  ASSERT_EQ(entry->files.size(), 2u);
  EXPECT_EQ(entry->files[0].path, "orders.csv");
  EXPECT_EQ(entry->files[1].table, "people");
  EXPECT_EQ(entry->files[1].path, "/srv/customers.jsonl");
  EXPECT_FALSE(parse_database_entry("shop=sqlite:///shop.db"));
  EXPECT_THROW((void)parse_database_entry("=file:a.csv"), ArgumentError);
  EXPECT_THROW((void)parse_database_entry("shop=file:"), ArgumentError);
}

TEST(FileLimits, OversizedUnknownAndMissingFilesAreRefusedAndNothingIsOverwritten) {
  const ScratchDir dir("norvex-files");
  const auto file = write(dir, "big.csv", "a\n1\n2\n3\n");
  LoadOptions small;
  small.max_file_bytes = 4;
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", file}}, small);
            }).find("big.csv' is 8 bytes, more than the limit of 4 bytes"),
            std::string::npos);
  EXPECT_THROW((void)inspect_files({{"", write(dir, "data.parquet", "x")}}), ArgumentError);
  EXPECT_THROW((void)inspect_files({{"", dir / "missing.csv"}}), ArgumentError);

  const auto existing = write(dir, "keep.db", "precious");
  EXPECT_THROW((void)load_files({{"", file}}, existing), ArgumentError);
  EXPECT_THROW((void)FileDatabase::load({{"", file}}, {}, existing), ArgumentError);
  std::ifstream in(existing);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
  // A failed load leaves no file behind.
  const auto ragged = write(dir, "ragged.csv", "a,b\n1\n");
  EXPECT_THROW((void)load_files({{"", ragged}}, dir / "new.db"), ValueError);
  EXPECT_FALSE(std::filesystem::exists(dir / "new.db"));
}

TEST(FileDatabase, ServesQuestionsReadOnlyAndIsRemovedOrKept) {
  const ScratchDir dir("norvex-files");
  const auto file = write(dir, "orders.csv", "id,total\n1,10\n2,20\n");
  std::filesystem::path temporary;
  {
    const auto files = FileDatabase::load({{"", file}});
    temporary = files.path();
    const auto db = files.open();
    EXPECT_EQ(db->dialect(), "sqlite");
    EXPECT_EQ(db->table_listing(), "orders");
    EXPECT_NE(db->get_table_info("orders").find("\"total\" INTEGER"), std::string::npos);
    EXPECT_EQ(db->run("SELECT SUM(total) FROM orders"), "[(30,)]");
    for (const char* hostile :
         {"DROP TABLE orders", "DELETE FROM orders", "INSERT INTO orders VALUES (3, 30)",
          "ATTACH DATABASE '/tmp/x.db' AS x", "SELECT 1; DROP TABLE orders",
          "PRAGMA query_only = 0"}) {
      EXPECT_THROW((void)db->run(hostile), DatabaseError) << hostile;
    }
    EXPECT_EQ(db->run("SELECT COUNT(*) FROM orders"), "[(2,)]");
  }
  EXPECT_FALSE(std::filesystem::exists(temporary));
  EXPECT_FALSE(std::filesystem::exists(temporary.parent_path()));

  const auto saved = dir / "saved.db";
  { (void)FileDatabase::load({{"sales", file}}, {}, saved); }
  ASSERT_TRUE(std::filesystem::exists(saved));
  EXPECT_EQ(query(saved, "SELECT COUNT(*) FROM sales"), (Rows{{"int:2"}}));
}

TEST(Workbook, EachSheetWithDataBecomesATable) {
  const ScratchDir dir("norvex-files");
  const auto book = dir / "Budget.xlsx";
  const std::string script =
      "import datetime, openpyxl, sys\n"
      "b = openpyxl.Workbook(); s = b.active; s.title = 'Q1 plan'\n"
      "s.append(['item', 'amount', 'due']); s.append(['rent', 1200, datetime.datetime(2024, 1, "
      "5)])\n"
      "s.append(['fees', 9.5, datetime.datetime(2024, 2, 1)])\n"
      "b.create_sheet('Empty'); t = b.create_sheet('notes'); t.append(['text']); t.append(['hi'])\n"
      "b.save(sys.argv[1])\n";
  const std::string command =
      "/usr/bin/python3 -c \"" + script + "\" " + book.string() + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) {
    NORVEX_SKIP_OR_FAIL("Python with openpyxl is not installed (python3-openpyxl)");
  }
  const auto db = dir / "budget.db";
  const auto report = load_files({{"", book}}, db);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0].name, "Budget_Q1_plan");
  EXPECT_EQ(report[0].sheet, "Q1 plan");
  EXPECT_EQ(columns_of(report[0]),
            (std::vector<std::string>{"item TEXT", "amount REAL", "due DATE"}));
  EXPECT_EQ(report[1].name, "Budget_notes");
  EXPECT_EQ(query(db, "SELECT SUM(amount) FROM Budget_Q1_plan WHERE due < '2024-02-01'"),
            (Rows{{"real:1200.0"}}));

  LoadOptions no_python;
  no_python.python_executable = (dir / "no-python").string();
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", book}}, no_python);
            }).find("install the Debian package python3-openpyxl"),
            std::string::npos);
}

// A workbook made by openpyxl whose first sheet's XML is then replaced by `sheet_xml`
// (when given): the cells a crafted file holds. False when openpyxl is missing.
bool make_workbook(const std::filesystem::path& book, const std::string& rows_python,
                   const std::string& sheet_xml = {}) {
  const auto script = book.parent_path() / "make_book.py";
  std::ofstream(script)
      << "import openpyxl, shutil, sys, zipfile\n"
         "b = openpyxl.Workbook(); s = b.active\n"
         "for r in " +
             rows_python +
             ": s.append(r)\n"
             "b.save(sys.argv[1])\n"
             "if len(sys.argv) > 2:\n"
             "    xml = open(sys.argv[2]).read()\n"
             "    src = zipfile.ZipFile(sys.argv[1])\n"
             "    out = zipfile.ZipFile(sys.argv[1] + '.new', 'w', zipfile.ZIP_DEFLATED)\n"
             "    for i in src.infolist():\n"
             "        data = src.read(i.filename)\n"
             "        if i.filename == 'xl/worksheets/sheet1.xml': data = xml.encode()\n"
             "        out.writestr(i.filename, data)\n"
             "    out.close(); shutil.move(sys.argv[1] + '.new', sys.argv[1])\n";
  std::string command = "/usr/bin/python3 -I " + script.string() + " " + book.string();
  if (!sheet_xml.empty()) {
    const auto xml = book.parent_path() / "sheet.xml";
    std::ofstream(xml)
        << "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        << sheet_xml << "</worksheet>";
    command += " " + xml.string();
  }
  return std::system((command + " 2>/dev/null").c_str()) == 0;
}

TEST(Workbook, CraftedWorkbooksAreReadIsolatedBoundedAndWithoutLosingRows) {
  const ScratchDir dir("norvex-files");
  const auto book = dir / "plain.xlsx";
  if (!make_workbook(book, "[['a', 'b', 'c'], [1, 'x', None], [2, None, None], [3, 'y', 'z']]")) {
    NORVEX_SKIP_OR_FAIL("Python with openpyxl is not installed (python3-openpyxl)");
  }
  // Modules in the working directory that a reader started without -I would import.
  for (const char* module : {"csv.py", "zipfile.py", "json.py", "openpyxl.py", "datetime.py"}) {
    write(dir, module, "open('" + (dir / "hijacked").string() + "', 'w').write('ran')\n");
  }
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const auto db = dir / "plain.db";
  LoadReport report;
  EXPECT_NO_THROW(report = load_files({{"", book}}, db));
  std::filesystem::current_path(before);
  EXPECT_FALSE(std::filesystem::exists(dir / "hijacked"));
  // Rows whose last cells are empty are loaded, with NULLs.
  EXPECT_EQ(query(db, "SELECT a, b, c FROM plain"), (Rows{{"int:1", "text:x", "null"},
                                                          {"int:2", "null", "null"},
                                                          {"int:3", "text:y", "text:z"}}));

  // A formula the workbook never calculated is told, not silently NULL.
  const auto formulas = dir / "formulas.xlsx";
  ASSERT_TRUE(
      make_workbook(formulas, "[]",
                    "<sheetData><row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>n</t></is></c>"
                    "<c r=\"B1\" t=\"inlineStr\"><is><t>twice</t></is></c></row>"
                    "<row r=\"2\"><c r=\"A2\"><v>2</v></c><c r=\"B2\"><f>A2*2</f></c></row>"
                    "<row r=\"3\"><c r=\"A3\"><v>3</v></c><c r=\"B3\"><f>A3*2</f><v>6</v></c></row>"
                    "</sheetData>"));
  const auto noted = inspect_files({{"", formulas}});
  ASSERT_EQ(noted.size(), 1u);
  EXPECT_EQ(noted[0].rows, 2u);
  std::string notes;
  for (const auto& note : noted[0].notes) notes += note + "\n";
  EXPECT_NE(notes.find("1 cells hold a formula whose value the workbook never saved (first: B2)"),
            std::string::npos)
      << notes;

  // One cell at the sheet's far corner: a clear refusal, not half an hour of empty cells.
  const auto corner = dir / "corner.xlsx";
  ASSERT_TRUE(
      make_workbook(corner, "[]",
                    "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>"
                    "<row r=\"1048576\"><c r=\"XFD1048576\"><v>1</v></c></row></sheetData>"));
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", corner}});
            }).find("row 1048576 has a value in column 16384, more than the 2000 columns"),
            std::string::npos);

  // The size limit holds for what a workbook expands to, not only for the file.
  const auto bomb = dir / "bomb.xlsx";
  ASSERT_TRUE(
      make_workbook(bomb, "[]",
                    "<!--" + std::string(3 << 20, 'x') +
                        "--><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"));
  LoadOptions small;
  small.max_file_bytes = 1 << 20;
  ASSERT_LT(std::filesystem::file_size(bomb), small.max_file_bytes);
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", bomb}}, small);
            }).find("the workbook expands to"),
            std::string::npos);

  // A reader that does not finish is stopped. (A stand-in, since the reader's filter lets it
  // start no program of its own: not a shell that runs sleep.)
  std::filesystem::create_directories(dir / "slow" / "bin");
  const auto slow =
      write(dir, "slow/bin/python3", "#!/usr/bin/python3\nimport time\ntime.sleep(60)\n");
  std::filesystem::permissions(slow, std::filesystem::perms::owner_all);
  LoadOptions patient;
  patient.python_executable = slow.string();
  patient.workbook_seconds = 1;
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", book}}, patient);
            }).find("took longer than 1 seconds; it was stopped"),
            std::string::npos);

  // The reader is confined: it may write in its scratch folder only.
  std::filesystem::create_directories(dir / "nosy" / "bin");
  const auto nosy =
      write(dir, "nosy/bin/python3",
            "#!/bin/sh\necho x > " + (dir / "escaped").string() + "\necho x > here\n");
  std::filesystem::permissions(nosy, std::filesystem::perms::owner_all);
  LoadOptions confined;
  confined.python_executable = nosy.string();
  EXPECT_NE(error_of([&] {
              (void)inspect_files({{"", book}}, confined);
            }).find("no sheet with data"),
            std::string::npos);
  if ((norvex_sandbox_probe(nullptr) & NORVEX_LAYER_LANDLOCK_FILES) != 0) {
    EXPECT_FALSE(std::filesystem::exists(dir / "escaped"));
  }
}

TEST(FileDatabase, ASavedDatabaseNeverReplacesAFileThatAppearedMeanwhile) {
  const ScratchDir dir("norvex-files");
  const auto file = write(dir, "orders.csv", "id,total\n1,10\n2,20\n");
  const auto saved = dir / "q?mode=ro";
  LoadOptions options;
  options.progress = [&](const Progress& p) {
    if (p.pass == 2 && !std::filesystem::exists(saved)) write(dir, "q?mode=ro", "someone else's");
  };
  EXPECT_NE(error_of([&] {
              (void)FileDatabase::load({{"", file}}, options, saved);
            }).find("was made by someone else while the files were loading"),
            std::string::npos);
  std::ifstream in(saved);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "someone else's");
  // Nothing half-made is left beside it.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2u);

  // A "?" in the name is part of the name: the facade opens the file that was saved.
  std::filesystem::remove(saved);
  const auto files_db = FileDatabase::load({{"", file}}, {}, saved);
  EXPECT_EQ(files_db.open()->run("SELECT SUM(total) FROM orders"), "[(30,)]");
  EXPECT_FALSE(std::filesystem::exists(dir / "q"));
}

TEST(FileDatabase, AFileReplacedOrChangedDuringTheLoadIsNotMixed) {
  const ScratchDir dir("norvex-files");
  const auto file = write(dir, "orders.csv", "id,total\n1,10\n2,20\n");
  bool replaced = false;
  LoadOptions options;
  options.progress = [&](const Progress& p) {
    if (p.pass != 1 || replaced) return;
    replaced = true;
    write(dir, "new.csv", "id,total\n9,90\n");
    std::filesystem::rename(dir / "new.csv", file);
  };
  const auto db = dir / "replaced.db";
  (void)load_files({{"", file}}, db, options);
  EXPECT_EQ(query(db, "SELECT SUM(total) FROM orders"), (Rows{{"int:30"}}));

  bool changed = false;
  options.progress = [&](const Progress& p) {
    if (p.pass != 1 || changed) return;
    changed = true;
    std::ofstream(file, std::ios::app) << "3,30\n";
  };
  EXPECT_NE(error_of([&] {
              (void)load_files({{"", file}}, dir / "changed.db", options);
            }).find("changed while it was being loaded"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "changed.db"));
}

TEST(LargeFile, AMillionRowsStreamWithProgressAndExactSums) {
  const ScratchDir dir("norvex-files");
  const auto file = dir / "million.csv";
  {
    std::ofstream out(file);
    out << "id,value,label\n";
    for (int i = 1; i <= 1000000; ++i) out << i << ',' << (i % 97) << ",row" << i << '\n';
  }
  std::uint64_t reports = 0;
  std::uint64_t written = 0;
  LoadOptions options;
  options.progress = [&](const Progress& p) {
    ++reports;
    if (p.pass == 2 && p.finished) written = p.rows;
  };
  const auto db = dir / "million.db";
  const auto report = load_files({{"", file}}, db, options);
  EXPECT_EQ(report[0].rows, 1000000u);
  EXPECT_EQ(written, 1000000u);
  EXPECT_GT(reports, 4u);  // more than the two "finished" reports per pass
  std::int64_t sum = 0;
  for (int i = 1; i <= 1000000; ++i) sum += i % 97;
  EXPECT_EQ(query(db, "SELECT COUNT(*), SUM(value), MAX(label) FROM million"),
            (Rows{{"int:1000000", "int:" + std::to_string(sum), "text:row999999"}}));
}

}  // namespace
}  // namespace norvex::files

// Data files on the command line: their options and the loading progress.
#include "file_options.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "norvex/error.hpp"

namespace norvex::cli {
namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t parse_size(const std::string& text) {
  std::size_t used = 0;
  unsigned long long value = 0;
  // stoull would take "-5" as a huge number.
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    try {
      value = std::stoull(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
  }
  const std::string unit = text.substr(used);
  int shift = -1;
  if (unit.empty() || unit == "B") shift = 0;
  if (unit == "K" || unit == "KB" || unit == "KiB") shift = 10;
  if (unit == "M" || unit == "MB" || unit == "MiB") shift = 20;
  if (unit == "G" || unit == "GB" || unit == "GiB") shift = 30;
  if (used == 0 || shift < 0 || (shift > 0 && value > (~0ull >> shift))) {
    throw ArgumentError("--max-file-size takes a size such as 500M or 2G (0: no limit), not '" +
                        text + "'");
  }
  return value << shift;
}

// The live line on a terminal, redrawn at most ten times a second; elsewhere one line per
// table when its rows are written.
class LoadDisplay {
 public:
  void operator()(const files::Progress& p) {
    const auto now = Clock::now();
    if (p.pass == 1 && p.bytes_done == 0 && !p.finished) return;
    if (std::string(p.table) != table_) {
      table_ = std::string(p.table);
      start_ = now;
      shown_ = {};
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double mb = static_cast<double>(p.bytes_done) / 1e6;
    if (p.pass == 2 && p.finished) {
      char line[256];
      std::snprintf(line, sizeof line,
                    "loaded %s into table %s: %llu rows in %.2f s (%.0f rows/s, %.1f MB/s)",
                    std::string(p.file).c_str(), table_.c_str(),
                    static_cast<unsigned long long>(p.rows), seconds,
                    seconds > 0 ? static_cast<double>(p.rows) / seconds : 0.0,
                    seconds > 0 ? 2 * mb / seconds : 0.0);
      std::cerr << (terminal_ ? "\r\033[K" : "") << line << std::endl;
      return;
    }
    if (!terminal_ || now - shown_ < std::chrono::milliseconds(100)) return;
    shown_ = now;
    const double total = p.bytes_total > 0 ? static_cast<double>(p.bytes_total) : 1.0;
    const double done = ((p.pass - 1) + static_cast<double>(p.bytes_done) / total) / 2;
    const int width = 24;
    const int filled = static_cast<int>(done * width);
    char line[256];
    std::snprintf(line, sizeof line,
                  "\r\033[K%s [%s%s] %3.0f%% %s %llu rows, %.0f rows/s, %.1f MB/s", table_.c_str(),
                  std::string(static_cast<std::size_t>(filled), '#').c_str(),
                  std::string(static_cast<std::size_t>(width - filled), '.').c_str(), done * 100,
                  p.pass == 1 ? "reading" : "writing", static_cast<unsigned long long>(p.rows),
                  seconds > 0 ? static_cast<double>(p.rows) / seconds : 0.0,
                  seconds > 0 ? mb / seconds : 0.0);
    std::cerr << line << std::flush;
  }

 private:
  bool terminal_ = ::isatty(2) != 0;
  std::string table_;
  Clock::time_point start_;
  Clock::time_point shown_;
};

}  // namespace

CLI::Option* add_file_options(CLI::App& command, FileArguments& arguments) {
  auto* file = command.add_option(
      "--file", arguments.files,
      "A data file to ask about, as [NAME=]PATH (repeatable): CSV, TSV, JSON Lines or Excel "
      ".xlsx; each becomes a table named NAME or after the file");
  // One path per --file, so a question after it stays the question.
  file->allow_extra_args(false);
  command
      .add_flag("--skip-bad-rows", arguments.skip_bad_rows,
                "Skip malformed rows of data files (counted) instead of stopping")
      ->needs(file);
  command
      .add_option("--max-file-size", arguments.max_file_size,
                  "Largest data file accepted, e.g. 500M or 2G (default 8G; 0: no limit); for a "
                  "workbook, also the most its contents may expand to")
      ->needs(file);
  command
      .add_option("--header", arguments.header,
                  "Whether the first row of CSV and TSV files names the columns (default: "
                  "detected)")
      ->check(CLI::IsMember({"yes", "no"}))
      ->needs(file);
  command
      .add_flag("--decimal-comma", arguments.decimal_comma,
                "Numbers in data files are written with a decimal comma (1.234,56); otherwise "
                "decided per column from its values")
      ->needs(file);
  command
      .add_option("--date-order", arguments.date_order,
                  "Order of day and month in dates such as 01/02/2024 that the values leave "
                  "open: dmy, mdy or ymd")
      ->check(CLI::IsMember({"dmy", "mdy", "ymd"}))
      ->needs(file);
  command
      .add_option("--column-type", arguments.column_types,
                  "A column's type, as COLUMN=TYPE (INTEGER, REAL, TEXT, DATE, TIMESTAMP, "
                  "BOOLEAN; repeatable); a value that does not read so stops the load")
      ->needs(file);
  return file;
}

std::vector<files::FileSpec> file_specs(const FileArguments& arguments) {
  std::vector<files::FileSpec> entries;
  for (const auto& text : arguments.files) entries.push_back(files::parse_file_argument(text));
  return entries;
}

files::LoadOptions load_options(const FileArguments& arguments, bool quiet) {
  files::LoadOptions options;
  files::remove_partial_files_on_signals();
  options.skip_bad_rows = arguments.skip_bad_rows;
  if (!arguments.max_file_size.empty())
    options.max_file_bytes = parse_size(arguments.max_file_size);
  if (arguments.header == "yes") options.header = files::HeaderMode::present;
  if (arguments.header == "no") options.header = files::HeaderMode::absent;
  options.decimal_comma = arguments.decimal_comma;
  if (arguments.date_order == "dmy") options.date_order = files::DateOrder::dmy;
  if (arguments.date_order == "mdy") options.date_order = files::DateOrder::mdy;
  if (arguments.date_order == "ymd") options.date_order = files::DateOrder::ymd;
  for (const auto& text : arguments.column_types) {
    const auto eq = text.rfind('=');
    const std::string column = eq == std::string::npos ? std::string() : text.substr(0, eq);
    std::string type = eq == std::string::npos ? std::string() : text.substr(eq + 1);
    for (auto& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    files::ColumnTypeOverride chosen{column, files::ColumnType::text};
    bool known = false;
    for (const auto t :
         {files::ColumnType::integer, files::ColumnType::real, files::ColumnType::boolean,
          files::ColumnType::date, files::ColumnType::timestamp, files::ColumnType::text}) {
      if (type == files::type_name(t)) {
        chosen.type = t;
        known = true;
      }
    }
    if (column.empty() || !known) {
      throw ArgumentError(
          "--column-type takes COLUMN=TYPE with TYPE one of INTEGER, REAL, TEXT, "
          "DATE, TIMESTAMP, BOOLEAN, not '" +
          text + "'");
    }
    options.column_types.push_back(std::move(chosen));
  }
  if (!quiet) {
    options.progress = [display = std::make_shared<LoadDisplay>()](const files::Progress& p) {
      (*display)(p);
    };
  }
  return options;
}

void report_notes(const files::LoadReport& report) {
  for (const auto& table : report) {
    if (table.skipped_rows > 0) {
      std::cerr << "note: " << table.skipped_rows << " malformed rows of " << table.source.string();
      if (!table.sheet.empty()) std::cerr << ", sheet '" << table.sheet << "',";
      std::cerr << " were skipped (" << (table.sheet.empty() ? "lines" : "rows");
      for (const auto line : table.skipped_lines) std::cerr << ' ' << line;
      std::cerr << (table.skipped_rows > table.skipped_lines.size() ? " ...)" : ")") << '\n';
    }
    if (table.encoding == "windows-1252") {
      std::cerr << "note: " << table.source.string() << " is not all UTF-8; "
                << table.recoded_values << " values were read as Windows-1252\n";
    }
    // The first note says where the table came from; the rest say what was done.
    for (std::size_t i = 1; i < table.notes.size(); ++i) {
      std::cerr << "note: table " << table.name << ": " << table.notes[i] << '\n';
    }
  }
}

}  // namespace norvex::cli

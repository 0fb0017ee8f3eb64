#pragma once
// The options that make a database of data files (`--file`, `--skip-bad-rows`,
// `--max-file-size`), shared by `norvex ask` and `norvex db schema`, and the loading
// progress shown on standard error.

#include <string>
#include <vector>

#include "norvex/files/files.hpp"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace norvex::cli {

struct FileArguments {
  std::vector<std::string> files;  // [NAME=]PATH each
  bool skip_bad_rows = false;
  std::string max_file_size;  // e.g. "512M"; empty: the library's default
  std::string header;         // "yes", "no"; empty: detected
  bool decimal_comma = false;
  std::string date_order;                 // "dmy", "mdy", "ymd"; empty: detected
  std::vector<std::string> column_types;  // COLUMN=TYPE each
};

/// Adds --file (returned), --skip-bad-rows, --max-file-size, --header, --decimal-comma,
/// --date-order and --column-type to `command`.
CLI::Option* add_file_options(CLI::App& command, FileArguments& arguments);

/// The parsed --file arguments. Throws ArgumentError.
std::vector<files::FileSpec> file_specs(const FileArguments& arguments);

/// Load options with a progress display on standard error (a live line on a terminal,
/// one line per table otherwise) unless `quiet`. Throws ArgumentError for a bad size or
/// column type. Also has signals remove what a load leaves half-made.
files::LoadOptions load_options(const FileArguments& arguments, bool quiet);

/// Prints what a load skipped, re-read or converted (malformed rows with their lines or a
/// sheet's rows, Windows-1252 text, the tables' notes) to standard error.
void report_notes(const files::LoadReport& report);

}  // namespace norvex::cli

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
};

/// Adds --file (returned), --skip-bad-rows and --max-file-size to `command`.
CLI::Option* add_file_options(CLI::App& command, FileArguments& arguments);

/// The parsed --file arguments. Throws ArgumentError.
std::vector<files::FileSpec> file_specs(const FileArguments& arguments);

/// Load options with a progress display on standard error (a live line on a terminal,
/// one line per table otherwise) unless `quiet`. Throws ArgumentError for a bad size.
files::LoadOptions load_options(const FileArguments& arguments, bool quiet);

/// Prints what a load skipped or re-read (malformed rows, Windows-1252 text) to standard
/// error.
void report_notes(const files::LoadReport& report);

}  // namespace norvex::cli

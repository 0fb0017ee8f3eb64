#pragma once
/// The dotenv file: KEY=value lines loaded into the process environment once, when the
/// agent library is loaded, without replacing variables that are already set.
///
/// Thread rule: parse_dotenv is pure and may run on any thread; the loaders change the
/// process environment and must not run while other threads read or write it.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::agent {

/// The file loaded at start-up when NORVEX_DOTENV does not name one: ".env" in the
/// current working directory (parent directories are not searched).
inline constexpr std::string_view kDotenvFileName = ".env";
/// Names another dotenv file to load at start-up instead of kDotenvFileName.
inline constexpr std::string_view kDotenvVariable = "NORVEX_DOTENV";

/// One parsed file: the variables in file order (a repeated name appears each time), and
/// the 1-based numbers of the lines that could not be read and were skipped.
/// Thread rule: a plain value.
struct NORVEX_API DotenvFile {
  std::vector<std::pair<std::string, std::string>> variables;
  std::vector<std::size_t> skipped_lines;
};

/// Parses dotenv text: blank lines and '#' comment lines are skipped; an optional
/// "export " prefix; NAME=value with NAME made of letters, digits, '_', '.', '-';
/// unquoted values end at the line's end or at a '#' after white space and are trimmed;
/// 'single' quotes keep everything but \' and \\; "double" quotes also read \n \t \r \"
/// \\ \$ and may span lines. A line it cannot read is skipped, never fatal. Never throws
/// for any input.
[[nodiscard]] NORVEX_API DotenvFile parse_dotenv(std::string_view text);

/// The file the start-up load reads: $NORVEX_DOTENV when set and non-empty, else
/// ./.env. Never throws.
[[nodiscard]] NORVEX_API std::filesystem::path dotenv_path();

/// Loads `file` into the environment: a variable already set (even to an empty text)
/// keeps its value unless `override_existing`. A missing file loads nothing. Skipped
/// lines are reported on standard error by number only (values are never shown).
/// Returns how many variables were set. Throws norvex::Error when the file exists but
/// cannot be read.
NORVEX_API std::size_t load_dotenv(const std::filesystem::path& file,
                                   bool override_existing = false);

/// Loads dotenv_path() as load_dotenv does, reporting a failure on standard error instead
/// of throwing. Nothing is loaded by itself: the `norvex` program calls this first thing,
/// and an application that wants the file's variables calls it at start, before it starts
/// threads (setting environment variables races with threads that read them).
NORVEX_API std::size_t load_dotenv() noexcept;

}  // namespace norvex::agent

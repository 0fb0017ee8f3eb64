// Excel workbooks: Debian's Python with openpyxl writes each sheet as a CSV file, which the
// ordinary CSV path then loads. A child process, so a broken workbook cannot harm us.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "norvex/base/process.hpp"
#include "norvex/error.hpp"
#include "source.hpp"

extern char** environ;

namespace norvex::files::detail {
namespace {

constexpr int kMissingOpenpyxl = 3;
constexpr const char* kInstallHint =
    "install the Debian package python3-openpyxl, or name a Python that has it in NORVEX_PYTHON";

// Streams the rows (read-only mode); dates become ISO text, a midnight datetime a date.
constexpr const char* kConvertScript = R"PY(
import csv, datetime, json, os, sys
try:
    import openpyxl
except ImportError:
    sys.exit(3)
source, out_dir = sys.argv[1], sys.argv[2]
book = openpyxl.load_workbook(source, read_only=True, data_only=True)
def text(v):
    if v is None:
        return ""
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, datetime.datetime):
        if v.time() == datetime.time(0) and v.tzinfo is None:
            return v.date().isoformat()
        return v.isoformat(sep=" ")
    if isinstance(v, (datetime.date, datetime.time)):
        return v.isoformat()
    if isinstance(v, float) and v.is_integer() and abs(v) < 2**53:
        return str(int(v))
    return str(v)
for number, sheet in enumerate(book.worksheets):
    path = os.path.join(out_dir, "sheet%d.csv" % number)
    rows = 0
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        for row in sheet.iter_rows(values_only=True):
            cells = [text(v) for v in row]
            while cells and cells[-1] == "":
                cells.pop()
            if cells:
                writer.writerow(cells)
                rows += 1
    print(json.dumps({"sheet": sheet.title, "csv": path, "rows": rows}), flush=True)
)PY";

std::string python_program(const std::string& configured) {
  if (!configured.empty()) return configured;
  if (const char* named = std::getenv("NORVEX_PYTHON"); named && *named) return named;
  return NORVEX_BUILD_PYTHON;
}

// The child's environment: what Python needs to start, nothing secret.
std::vector<std::string> child_environment() {
  static constexpr const char* kKept[] = {"PATH",     "HOME",       "LANG",       "LC_ALL",
                                          "LC_CTYPE", "PYTHONPATH", "PYTHONHOME", "TMPDIR"};
  std::vector<std::string> out;
  for (const char* name : kKept) {
    if (const char* value = std::getenv(name)) out.push_back(std::string(name) + "=" + value);
  }
  return out;
}

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::vector<Sheet> convert_workbook(const std::filesystem::path& path,
                                    const std::filesystem::path& out_dir,
                                    const std::string& python_executable) {
  const std::string python = python_program(python_executable);
  const auto out_file = out_dir / "sheets.jsonl";
  const auto err_file = out_dir / "python.err";

  base::SpawnOptions options;
  options.environment = child_environment();
  options.files = {{0, "/dev/null", O_RDONLY},
                   {1, out_file, O_WRONLY | O_CREAT | O_TRUNC},
                   {2, err_file, O_WRONLY | O_CREAT | O_TRUNC}};
  pid_t pid = 0;
  try {
    pid = base::spawn({python, "-c", kConvertScript, path.string(), out_dir.string()}, options);
  } catch (const Error& error) {
    throw ValueError("reading the workbook " + path.string() + " needs Python with openpyxl, but " +
                     error.what() + ": " + kInstallHint);
  }
  const int status = base::wait_for(pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kMissingOpenpyxl) {
    throw ValueError("reading the workbook " + path.string() +
                     " needs the Python package openpyxl, which " + python +
                     " does not have: " + kInstallHint);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string why = read_all(err_file);
    // The last line of a Python traceback says what went wrong.
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    if (const auto at = why.rfind('\n'); at != std::string::npos) why.erase(0, at + 1);
    if (why.empty()) why = "the reader ended with status " + std::to_string(status);
    throw ValueError("cannot read the workbook " + path.string() + ": " + why);
  }

  std::vector<Sheet> sheets;
  std::ifstream listing(out_file);
  for (std::string line; std::getline(listing, line);) {
    const auto record = nlohmann::json::parse(line);
    if (record.at("rows").get<long>() == 0) continue;  // an empty sheet makes no table
    sheets.push_back({record.at("sheet").get<std::string>(), record.at("csv").get<std::string>()});
  }
  return sheets;
}

}  // namespace norvex::files::detail

// Loading a generated 1,000,000-row, 10-column CSV file into SQLite: norvex's loader (also on
// the same rows as a German export writes them), and in the same run Debian's sqlite3 shell
// (.import) and pandas (read_csv + to_sql). Each load runs
// in a child process, so its peak resident memory is its own (counter peak_rss_mb).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "norvex/files/files.hpp"

namespace {

constexpr int kRows = 1000000;

const std::filesystem::path& folder() {
  static const std::filesystem::path path = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "norvex-files-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return std::filesystem::path(pattern);
  }();
  return path;
}

// Ten columns of the kinds real exports hold: ids, amounts, dates, timestamps, flags, text.
const std::filesystem::path& csv_file() {
  static const std::filesystem::path path = [] {
    const auto file = folder() / "orders.csv";
    std::ofstream out(file);
    out << "order_id,customer_id,product,quantity,unit_price,discount,placed,shipped_at,paid,"
           "note\n";
    char line[256];
    for (int i = 1; i <= kRows; ++i) {
      const int n = std::snprintf(
          line, sizeof line,
          "%d,%d,Product %d,%d,%d.%02d,%s,2024-%02d-%02d,2024-%02d-%02d %02d:%02d:00,%s,%s\n", i,
          1000 + i % 5000, i % 300, 1 + i % 9, 1 + i % 200, i % 100, i % 7 == 0 ? "0.1" : "",
          1 + i % 12, 1 + i % 28, 1 + (i + 1) % 12, 1 + i % 28, i % 24, i % 60,
          i % 3 ? "true" : "false", i % 11 == 0 ? "\"gift, wrapped\"" : "standard");
      out.write(line, n);
    }
    return file;
  }();
  return path;
}

// The same orders as a German spreadsheet exports them: ';', decimal commas with '.' for the
// thousands, dd.mm.yyyy dates and times.
const std::filesystem::path& european_file() {
  static const std::filesystem::path path = [] {
    const auto file = folder() / "bestellungen.csv";
    std::ofstream out(file);
    out << "order_id;customer_id;product;quantity;unit_price;discount;placed;shipped_at;paid;"
           "note\n";
    char line[256];
    for (int i = 1; i <= kRows; ++i) {
      const int n = std::snprintf(
          line, sizeof line,
          "%d;%d;Product %d;%d;%s%d,%02d;%s;%02d.%02d.2024;%02d.%02d.2024 %02d:%02d:00;%s;%s\n", i,
          1000 + i % 5000, i % 300, 1 + i % 9, i % 13 == 0 ? "1." : "", 100 + i % 200, i % 100,
          i % 7 == 0 ? "0,1" : "", 1 + i % 28, 1 + i % 12, 1 + i % 28, 1 + (i + 1) % 12, i % 24,
          i % 60, i % 3 ? "true" : "false", i % 11 == 0 ? "\"gift; wrapped\"" : "standard");
      out.write(line, n);
    }
    return file;
  }();
  return path;
}

double megabytes(std::uintmax_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

// Runs `work` in a child; returns its peak resident memory in MiB, or a negative value when
// it failed.
template <typename Work>
double in_child(Work&& work) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(work());
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

int run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  ::execvp(argv[0], argv.data());
  return 127;
}

template <typename Load>
void measure(benchmark::State& state, Load&& load, const std::filesystem::path& file = csv_file()) {
  const auto db = folder() / "out.db";
  double peak = 0;
  for (auto _ : state) {
    std::filesystem::remove(db);
    const double rss = in_child([&] { return load(file, db); });
    if (rss < 0) {
      state.SkipWithError("the load failed");
      return;
    }
    peak = std::max(peak, rss);
  }
  // Rows per second as a counter: the report reads items_per_second as time per item.
  state.counters["rows_per_s"] =
      benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(file)));
  state.counters["peak_rss_mb"] = peak;
  state.counters["file_mb"] = megabytes(std::filesystem::file_size(file));
}

void BM_LoadCsvMillionRows(benchmark::State& state) {
  measure(state, [](const std::filesystem::path& file, const std::filesystem::path& db) {
    try {
      (void)norvex::files::load_files({{"orders", file}}, db);
      return 0;
    } catch (...) {
      return 1;
    }
  });
}

void BM_LoadEuropeanCsvMillionRows(benchmark::State& state) {
  measure(
      state,
      [](const std::filesystem::path& file, const std::filesystem::path& db) {
        try {
          const auto report = norvex::files::load_files({{"orders", file}}, db);
          // The conventions must have been read, or this measures the wrong work.
          const auto& columns = report[0].columns;
          return columns[4].type == norvex::files::ColumnType::real &&
                         columns[6].type == norvex::files::ColumnType::date &&
                         columns[7].type == norvex::files::ColumnType::timestamp
                     ? 0
                     : 2;
        } catch (...) {
          return 1;
        }
      },
      european_file());
}

void BM_SqliteShellImportSameFile(benchmark::State& state) {
  measure(state, [](const std::filesystem::path& file, const std::filesystem::path& db) {
    return run({"sqlite3", db.string(), ".mode csv", ".import " + file.string() + " orders"});
  });
}

void BM_PandasToSqlSameFile(benchmark::State& state) {
  measure(state, [](const std::filesystem::path& file, const std::filesystem::path& db) {
    return run({"/usr/bin/python3", "-c",
                "import sqlite3, sys, pandas\n"
                "c = sqlite3.connect(sys.argv[2])\n"
                "pandas.read_csv(sys.argv[1]).to_sql('orders', c, index=False)\n"
                "c.commit()\n",
                file.string(), db.string()});
  });
}

BENCHMARK(BM_LoadCsvMillionRows)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_LoadEuropeanCsvMillionRows)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_SqliteShellImportSameFile)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_PandasToSqlSameFile)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(folder());
  return 0;
}

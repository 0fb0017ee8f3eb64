// Every input the fuzzers saved, replayed through the same entry functions: the corpus
// (inputs that reached new code) and the findings (inputs that once failed, kept as
// regression cases once fixed). A failed check throws here instead of aborting, so the
// failure names the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_targets.hpp"

namespace norvex::fuzz {

void fuzz_check(bool condition, std::string_view what) {
  if (!condition) throw std::logic_error("fuzz check failed: " + std::string(what));
}

namespace {

namespace fs = std::filesystem;

using Entry = void (*)(const std::uint8_t*, std::size_t);

struct Target {
  const char* name;
  Entry entry;
};

const Target kTargets[] = {
    {"prompt_default", fuzz_prompt_default},
    {"prompt_jinja2", fuzz_prompt_jinja2},
    {"uri", fuzz_uri},
    {"dotenv", fuzz_dotenv},
    {"record", fuzz_record},
    {"python_rows", fuzz_python_rows},
    {"http_request", fuzz_http_request},
};

// Names the target in test output.
void PrintTo(const Target& target, std::ostream* out) {
  *out << target.name;
}

std::vector<fs::path> inputs_under(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EverySavedInputPassesItsChecks) {
  const fs::path root = NORVEX_FUZZ_DIR;
  const auto corpus = inputs_under(root / "corpus" / GetParam().name);
  const auto findings = inputs_under(root / "findings" / GetParam().name);
  // The seed inputs are committed, so an empty corpus means a wrong path, not no work.
  ASSERT_FALSE(corpus.empty()) << "no inputs under " << (root / "corpus" / GetParam().name);

  std::vector<fs::path> all = corpus;
  all.insert(all.end(), findings.begin(), findings.end());
  for (const auto& file : all) {
    const std::string bytes = read_bytes(file);
    try {
      GetParam().entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << file << ": " << e.what();
    } catch (...) {
      ADD_FAILURE() << file << ": a non-standard exception";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace norvex::fuzz

// The text readers: delimited files through libcsv, JSON Lines line by line. Both read in
// fixed chunks, so memory stays bounded whatever the file's size.
#include <csv.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "norvex/error.hpp"
#include "source.hpp"

namespace norvex::files::detail {
namespace {

constexpr std::size_t kChunkBytes = 1 << 20;
// A field this long is a quote that never closed, not data: stop before it eats the memory.
constexpr std::size_t kMaxFieldBytes = 16 << 20;
constexpr std::string_view kUtf8Bom = "\xef\xbb\xbf";
// libcsv's parser states (not in its header): between rows, and inside a field.
constexpr int kRowNotBegun = 0;
constexpr int kFieldBegun = 2;

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_file(const std::filesystem::path& path) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    throw ArgumentError("cannot read '" + path.string() + "': " + std::strerror(errno));
  }
  return file;
}

std::string at_line(const std::filesystem::path& path, std::uint64_t line) {
  return path.string() + ", line " + std::to_string(line) + ": ";
}

// Rejects the encodings we do not read rather than loading garbage.
void check_not_utf16(std::string_view start, const std::filesystem::path& path) {
  if (start.rfind("\xff\xfe", 0) == 0 || start.rfind("\xfe\xff", 0) == 0) {
    throw ValueError(path.string() +
                     " is UTF-16 text; save it as UTF-8 (or Windows-1252) and load it again");
  }
}

struct CsvParser {
  csv_parser parser{};
  CsvParser() {
    if (csv_init(&parser, 0) != 0) throw Error("libcsv could not start");
  }
  ~CsvParser() { csv_free(&parser); }
  CsvParser(const CsvParser&) = delete;
  CsvParser& operator=(const CsvParser&) = delete;
};

// What libcsv's callbacks fill: the fields of the row being read.
struct RowState {
  const RowSink* on_row = nullptr;
  std::string bytes;
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  std::vector<Cell> cells;
  std::uint64_t row_start = 1;
  std::exception_ptr failure;  // thrown by the sink; rethrown outside libcsv
};

void on_field(void* data, std::size_t length, void* state_ptr) {
  auto& state = *static_cast<RowState*>(state_ptr);
  state.spans.emplace_back(state.bytes.size(), length);
  if (length > 0) state.bytes.append(static_cast<const char*>(data), length);
}

void on_row_end(int, void* state_ptr) {
  auto& state = *static_cast<RowState*>(state_ptr);
  if (!state.failure) {
    state.cells.clear();
    for (const auto& [at, length] : state.spans) {
      state.cells.push_back({std::string_view(state.bytes).substr(at, length), Hint::any});
    }
    try {
      (*state.on_row)(state.row_start, state.cells);
    } catch (...) {
      state.failure = std::current_exception();
    }
  }
  state.bytes.clear();
  state.spans.clear();
}

}  // namespace

void scan_delimited(const std::filesystem::path& path, char delimiter, const RowSink& on_row,
                    const ChunkSink& on_chunk) {
  const File file = open_file(path);
  CsvParser csv;
  csv_set_delim(&csv.parser, static_cast<unsigned char>(delimiter));
  RowState state;
  state.on_row = &on_row;
  std::vector<char> chunk(kChunkBytes);
  std::uint64_t line = 1;
  std::uint64_t total = 0;
  bool first = true;
  const auto rethrow = [&] {
    if (state.failure) std::rethrow_exception(state.failure);
  };
  for (;;) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
    if (n == 0) break;
    std::size_t pos = 0;
    if (first) {
      const std::string_view start(chunk.data(), n);
      check_not_utf16(start, path);
      if (start.rfind(kUtf8Bom, 0) == 0) pos = kUtf8Bom.size();
      first = false;
    }
    // Fed a line at a time, so a row is known by the line it starts on.
    while (pos < n) {
      const auto* newline =
          static_cast<const char*>(std::memchr(chunk.data() + pos, '\n', n - pos));
      const std::size_t end = newline ? static_cast<std::size_t>(newline - chunk.data()) + 1 : n;
      if (csv.parser.pstate == kRowNotBegun) state.row_start = line;
      const std::size_t used =
          csv_parse(&csv.parser, chunk.data() + pos, end - pos, on_field, on_row_end, &state);
      rethrow();
      if (used != end - pos) {
        throw ValueError(at_line(path, line) + csv_strerror(csv_error(&csv.parser)));
      }
      if (csv_get_buffer_size(&csv.parser) > kMaxFieldBytes ||
          state.bytes.size() > kMaxFieldBytes) {
        throw ValueError(at_line(path, state.row_start) +
                         "a row longer than 16 MiB: is a quoted field never closed?");
      }
      if (newline) ++line;
      pos = end;
    }
    total += n;
    if (on_chunk) on_chunk(total);
  }
  if (std::ferror(file.get())) {
    throw ValueError("reading '" + path.string() + "' failed: " + std::strerror(errno));
  }
  // libcsv would take the rest of the file as the open field's text.
  if (csv.parser.pstate == kFieldBegun && csv.parser.quoted) {
    throw ValueError(at_line(path, state.row_start) +
                     "a quoted field starts here and is never closed");
  }
  csv_fini(&csv.parser, on_field, on_row_end, &state);
  rethrow();
}

char sniff_delimiter(const std::filesystem::path& path, char fallback) {
  constexpr std::size_t kSampleBytes = 64 * 1024;
  constexpr std::size_t kSampleRecords = 50;
  constexpr std::array<char, 4> kCandidates = {',', ';', '\t', '|'};
  const File file = open_file(path);
  std::string sample(kSampleBytes, '\0');
  sample.resize(std::fread(sample.data(), 1, sample.size(), file.get()));
  const bool whole = sample.size() < kSampleBytes;
  if (sample.rfind(kUtf8Bom, 0) == 0) sample.erase(0, kUtf8Bom.size());

  // Delimiters per record, outside quotes; a record may span lines inside quotes.
  std::vector<std::array<int, 4>> records;
  std::array<int, 4> counts{};
  bool quoted = false;
  bool content = false;
  for (const char c : sample) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '\n') {
      if (content) records.push_back(counts);
      counts = {};
      content = false;
      if (records.size() == kSampleRecords) break;
      continue;
    }
    if (c != '\r') content = true;
    if (quoted) continue;
    for (std::size_t k = 0; k < kCandidates.size(); ++k) counts[k] += c == kCandidates[k];
  }
  if (content && whole && !quoted) records.push_back(counts);
  if (records.empty()) return fallback;

  int best = -1;
  std::size_t best_agreeing = 0;
  int best_count = 0;
  for (std::size_t k = 0; k < kCandidates.size(); ++k) {
    // The count most records share, and how many share it.
    std::size_t agreeing = 0;
    int modal = 0;
    for (const auto& r : records) {
      std::size_t same = 0;
      for (const auto& other : records) same += other[k] == r[k];
      if (r[k] > 0 && (same > agreeing || (same == agreeing && r[k] > modal))) {
        agreeing = same;
        modal = r[k];
      }
    }
    if (modal == 0) continue;
    if (agreeing > best_agreeing || (agreeing == best_agreeing && modal > best_count)) {
      best = static_cast<int>(k);
      best_agreeing = agreeing;
      best_count = modal;
    }
  }
  return best < 0 ? fallback : kCandidates[static_cast<std::size_t>(best)];
}

void scan_json_lines(const std::filesystem::path& path, const ObjectSink& on_object,
                     const BadLineSink& bad_line, const ChunkSink& on_chunk) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ArgumentError("cannot read '" + path.string() + "': " + std::strerror(errno));
  std::string text;
  std::uint64_t line = 0;
  std::uint64_t bytes = 0;
  std::uint64_t reported = 0;
  while (std::getline(in, text)) {
    ++line;
    bytes += text.size() + 1;
    if (line == 1) {
      check_not_utf16(text, path);
      if (text.rfind(kUtf8Bom, 0) == 0) text.erase(0, kUtf8Bom.size());
    }
    if (text.find_first_not_of(" \t\r") != std::string::npos) {
      nlohmann::ordered_json value;
      std::string why;
      try {
        value = nlohmann::ordered_json::parse(text);
        if (!value.is_object()) why = "not a JSON object";
      } catch (const nlohmann::json::exception& e) {
        why = e.what();
      }
      if (why.empty()) {
        on_object(line, value);
      } else {
        bad_line(line, why);
      }
    }
    if (on_chunk && bytes - reported >= kChunkBytes) {
      on_chunk(bytes);
      reported = bytes;
    }
  }
  if (in.bad()) throw ValueError("reading '" + path.string() + "' failed");
  if (on_chunk) on_chunk(bytes);
}

}  // namespace norvex::files::detail

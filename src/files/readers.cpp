// The text readers: delimited files through libcsv, JSON Lines line by line, and wide
// encodings turned into UTF-8. All read in fixed chunks and hold at most one row, so memory
// stays bounded whatever the file.
#include <csv.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "source.hpp"

namespace norvex::files::detail {
namespace {

constexpr std::size_t kChunkBytes = 1 << 20;
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

std::string at_line(const std::string& name, std::uint64_t line) {
  return name + ", line " + std::to_string(line) + ": ";
}

// Wide encodings are turned into UTF-8 before a reader sees them (transcode_to_utf8).
void check_not_wide(std::string_view start, const std::string& name) {
  if (start.rfind("\xff\xfe", 0) == 0 || start.rfind("\xfe\xff", 0) == 0 ||
      start.rfind(std::string_view("\0\0\xfe\xff", 4), 0) == 0) {
    throw ValueError(name + " starts with a UTF-16 or UTF-32 byte-order mark but was not decoded");
  }
}

// Reads the file chunk by chunk into `chunk`, handing `use` each chunk's size and where its
// text starts (after a UTF-8 byte-order mark at the file's start).
template <typename Use>
void read_chunks(std::FILE* file, const std::string& name, std::vector<char>& chunk, Use&& use) {
  bool first = true;
  for (;;) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
    if (n == 0) break;
    std::size_t pos = 0;
    if (first) {
      const std::string_view start(chunk.data(), n);
      check_not_wide(start, name);
      if (start.rfind(kUtf8Bom, 0) == 0) pos = kUtf8Bom.size();
      first = false;
    }
    use(n, pos);
  }
  if (std::ferror(file)) {
    throw ValueError("reading '" + name + "' failed: " + std::strerror(errno));
  }
}

struct CsvParser {
  csv_parser parser{};
  char delimiter;
  explicit CsvParser(char delim) : delimiter(delim) { start(); }
  ~CsvParser() { csv_free(&parser); }
  CsvParser(const CsvParser&) = delete;
  CsvParser& operator=(const CsvParser&) = delete;
  // A fresh parser: after a malformed row, reading goes on with the next line.
  void restart() {
    csv_free(&parser);
    parser = {};
    start();
  }

 private:
  void start() {
    if (csv_init(&parser, CSV_STRICT | CSV_EMPTY_IS_NULL) != 0) {
      throw Error("libcsv could not start");
    }
    csv_set_delim(&parser, static_cast<unsigned char>(delimiter));
  }
};

// What libcsv's callbacks fill: the fields of the row being read.
struct RowState {
  const RowSink* on_row = nullptr;
  const BadLineSink* bad_row = nullptr;
  std::string bytes;
  struct Span {
    std::size_t at;
    std::size_t length;
    bool quoted_empty;
  };
  std::vector<Span> spans;
  std::vector<Cell> cells;
  std::uint64_t row_start = 1;
  std::size_t fields = 0;      // of the row being read, also those beyond kMaxFields
  std::exception_ptr failure;  // thrown by a sink; rethrown outside libcsv

  void clear() {
    bytes.clear();
    spans.clear();
    fields = 0;
  }
};

void on_field(void* data, std::size_t length, void* state_ptr) {
  auto& state = *static_cast<RowState*>(state_ptr);
  if (++state.fields > kMaxFields) return;
  // With CSV_EMPTY_IS_NULL an unquoted empty field comes without data; a quoted one with.
  state.spans.push_back({state.bytes.size(), length, length == 0 && data != nullptr});
  if (length > 0) state.bytes.append(static_cast<const char*>(data), length);
}

void on_row_end(int, void* state_ptr) {
  auto& state = *static_cast<RowState*>(state_ptr);
  if (!state.failure) {
    try {
      if (state.fields > kMaxFields) {
        (*state.bad_row)(state.row_start, std::to_string(state.fields) + " fields, more than the " +
                                              std::to_string(kMaxFields) +
                                              " columns a table may have");
      } else {
        state.cells.clear();
        for (const auto& span : state.spans) {
          state.cells.push_back({std::string_view(state.bytes).substr(span.at, span.length),
                                 Hint::any, span.quoted_empty});
        }
        (*state.on_row)(state.row_start, state.cells);
      }
    } catch (...) {
      state.failure = std::current_exception();
    }
  }
  state.clear();
}

}  // namespace

void scan_delimited(const std::filesystem::path& path, const std::string& name, char delimiter,
                    const RowSink& on_row, const BadLineSink& bad_row, const ChunkSink& on_chunk) {
  const File file = open_file(path);
  CsvParser csv(delimiter);
  RowState state;
  state.on_row = &on_row;
  state.bad_row = &bad_row;
  std::vector<char> chunk(kChunkBytes);
  std::uint64_t line = 1;
  std::uint64_t total = 0;
  bool skipping = false;  // the rest of a malformed row's line is dropped
  const auto rethrow = [&] {
    if (state.failure) std::rethrow_exception(state.failure);
  };
  const auto malformed = [&](const std::string& why) {
    const std::uint64_t start = state.row_start;
    csv.restart();
    state.clear();
    skipping = true;
    bad_row(start, why);
  };
  read_chunks(file.get(), name, chunk, [&](std::size_t n, std::size_t pos) {
    // Fed a line at a time, so a row is known by the line it starts on.
    while (pos < n) {
      const auto* newline =
          static_cast<const char*>(std::memchr(chunk.data() + pos, '\n', n - pos));
      const std::size_t end = newline ? static_cast<std::size_t>(newline - chunk.data()) + 1 : n;
      if (!skipping) {
        if (csv.parser.pstate == kRowNotBegun) state.row_start = line;
        const std::size_t used =
            csv_parse(&csv.parser, chunk.data() + pos, end - pos, on_field, on_row_end, &state);
        rethrow();
        if (used != end - pos) {
          malformed(csv_error(&csv.parser) == CSV_EPARSE
                        ? "a stray quote: a quote inside a field that is not quoted, or text "
                          "after a closing quote"
                        : csv_strerror(csv_error(&csv.parser)));
        } else if (csv_get_buffer_size(&csv.parser) > kMaxRowBytes ||
                   state.bytes.size() > kMaxRowBytes) {
          if (csv.parser.pstate == kFieldBegun && csv.parser.quoted) {
            throw ValueError(at_line(name, state.row_start) +
                             "a row longer than 16 MiB: is a quoted field never closed?");
          }
          malformed("a row longer than 16 MiB");
        }
      }
      if (newline) {
        ++line;
        skipping = false;
      }
      pos = end;
    }
    total += n;
    if (on_chunk) on_chunk(total);
  });
  // libcsv would take the rest of the file as the open field's text.
  if (csv.parser.pstate == kFieldBegun && csv.parser.quoted) {
    throw ValueError(at_line(name, state.row_start) +
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

namespace {

// Builds one line's object from the parser's events: top-level members as cells, nested
// values written back as compact JSON. The parser keeps its own stack, so no recursion here
// or there; depth is bounded all the same, since the texts of nested values grow with it.
class FlatObject {
 public:
  using Json = nlohmann::json;

  std::vector<JsonField> fields;
  std::string why;  // set when the line is refused

  void reset() {
    fields.clear();
    why.clear();
    depth_ = 0;
    comma_.clear();
  }

  bool null() { return scalar("null", Hint::any, true); }
  bool boolean(bool value) { return scalar(value ? "true" : "false", Hint::boolean); }
  bool number_integer(std::int64_t value) { return scalar(std::to_string(value), Hint::number); }
  bool number_unsigned(std::uint64_t value) { return scalar(std::to_string(value), Hint::number); }
  // The number as written: digits beyond a double's are not lost.
  bool number_float(double, const std::string& text) { return scalar(text, Hint::number); }
  bool string(std::string& value) {
    if (depth_ == 1) return scalar(value, Hint::string);
    return scalar(Json(value).dump(), Hint::string);
  }
  bool binary(Json::binary_t&) { return refuse("binary values are not JSON text"); }
  bool start_object(std::size_t) { return open('{'); }
  bool end_object() { return close('}'); }
  bool start_array(std::size_t) { return open('['); }
  bool end_array() { return close(']'); }
  bool key(std::string& name) {
    if (depth_ == 1) {
      fields.push_back({name, {}, Hint::any, false});
      return true;
    }
    separate();
    nested() += Json(name).dump();
    nested() += ':';
    comma_.back() = false;  // the value follows the colon without a comma
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    if (why.empty()) why = e.what();
    return false;
  }

 private:
  int depth_ = 0;
  std::vector<bool> comma_;  // per open nested level: whether a separator is due

  std::string& nested() { return fields.back().text; }
  bool refuse(std::string reason) {
    if (why.empty()) why = std::move(reason);
    return false;
  }
  void separate() {
    if (comma_.empty()) return;
    if (comma_.back()) nested() += ',';
    comma_.back() = true;
  }
  bool scalar(const std::string& text, Hint hint, bool is_null = false) {
    if (depth_ == 0) return refuse("not a JSON object");
    if (depth_ == 1) {
      fields.back().text = text;
      fields.back().hint = hint;
      fields.back().null = is_null;
      return true;
    }
    separate();
    nested() += text;
    return true;
  }
  bool open(char bracket) {
    if (depth_ == 0) {
      if (bracket != '{') return refuse("not a JSON object");
      depth_ = 1;
      return true;
    }
    if (depth_ >= kMaxJsonDepth) {
      return refuse("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    if (depth_ == 1) {
      fields.back().hint = Hint::nested;
    } else {
      separate();
    }
    ++depth_;
    nested() += bracket;
    comma_.push_back(false);
    return true;
  }
  bool close(char bracket) {
    --depth_;
    if (depth_ == 0) return true;
    nested() += bracket;
    comma_.pop_back();
    return true;
  }
};

}  // namespace

void scan_json_lines(const std::filesystem::path& path, const std::string& name,
                     const ObjectSink& on_object, const BadLineSink& bad_line,
                     const ChunkSink& on_chunk) {
  const File file = open_file(path);
  std::vector<char> chunk(kChunkBytes);
  std::string text;
  bool too_long = false;
  std::uint64_t line = 1;
  std::uint64_t bytes = 0;
  FlatObject object;
  const auto finish_line = [&] {
    if (too_long) {
      bad_line(line, "a line longer than 16 MiB");
    } else if (text.find_first_not_of(" \t\r") != std::string::npos) {
      object.reset();
      const bool ok = nlohmann::json::sax_parse(text, &object);
      if (ok && object.why.empty()) {
        // A key given twice keeps its last value, as JSON parsers do.
        auto& fields = object.fields;
        for (std::size_t i = fields.size(); i-- > 0;) {
          for (std::size_t k = 0; k < i; ++k) {
            if (fields[k].key == fields[i].key) {
              fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(k));
              --i;
              break;
            }
          }
          if (fields.size() > 64) break;  // long objects: dropping duplicates is not worth it
        }
        on_object(line, fields);
      } else {
        bad_line(line, object.why.empty() ? "not a JSON object" : object.why);
      }
    }
    text.clear();
    too_long = false;
    ++line;
  };
  read_chunks(file.get(), name, chunk, [&](std::size_t n, std::size_t pos) {
    while (pos < n) {
      const auto* newline =
          static_cast<const char*>(std::memchr(chunk.data() + pos, '\n', n - pos));
      const std::size_t end = newline ? static_cast<std::size_t>(newline - chunk.data()) : n;
      if (!too_long) {
        if (text.size() + (end - pos) > kMaxRowBytes) {
          too_long = true;
          text.clear();
          text.shrink_to_fit();
        } else {
          text.append(chunk.data() + pos, end - pos);
        }
      }
      if (newline) {
        finish_line();
        pos = end + 1;
      } else {
        pos = end;
      }
    }
    bytes += n;
    if (on_chunk) on_chunk(bytes);
  });
  if (!text.empty() || too_long) finish_line();
}

std::string wide_encoding(const std::filesystem::path& path) {
  const File file = open_file(path);
  unsigned char mark[4] = {};
  const std::size_t n = std::fread(mark, 1, sizeof mark, file.get());
  if (n >= 4 && mark[0] == 0xff && mark[1] == 0xfe && mark[2] == 0 && mark[3] == 0) {
    return "utf-32le";
  }
  if (n >= 4 && mark[0] == 0 && mark[1] == 0 && mark[2] == 0xfe && mark[3] == 0xff) {
    return "utf-32be";
  }
  if (n >= 2 && mark[0] == 0xff && mark[1] == 0xfe) return "utf-16le";
  if (n >= 2 && mark[0] == 0xfe && mark[1] == 0xff) return "utf-16be";
  return {};
}

void transcode_to_utf8(const std::filesystem::path& path, const std::string& name,
                       const std::string& encoding, const std::filesystem::path& out) {
  const File in = open_file(path);
  File to(std::fopen(out.c_str(), "wb"));
  if (!to) throw Error("cannot write '" + out.string() + "': " + std::strerror(errno));
  const bool wide32 = encoding.rfind("utf-32", 0) == 0;
  const bool little = encoding.back() == 'e' && encoding[encoding.size() - 2] == 'l';
  const std::size_t unit = wide32 ? 4 : 2;
  std::vector<unsigned char> chunk(kChunkBytes);  // a multiple of 4
  std::string utf8;
  std::uint64_t offset = 0;
  std::uint32_t high = 0;  // a UTF-16 high surrogate waiting for its pair
  std::size_t carry = 0;   // bytes of an unfinished unit at the chunk's start
  bool skip_mark = true;
  const auto fail = [&](std::uint64_t at) {
    throw ValueError(name + " is not valid " + encoding + " text (at byte " + std::to_string(at) +
                     ")");
  };
  for (;;) {
    const std::size_t n = std::fread(chunk.data() + carry, 1, chunk.size() - carry, in.get());
    const std::size_t have = carry + n;
    if (n == 0) {
      if (carry != 0 || high != 0) fail(offset);
      break;
    }
    utf8.clear();
    std::size_t i = 0;
    for (; i + unit <= have; i += unit, offset += unit) {
      const unsigned char* u = chunk.data() + i;
      std::uint32_t code = 0;
      if (wide32) {
        code = little ? (u[0] | u[1] << 8 | u[2] << 16 | std::uint32_t(u[3]) << 24)
                      : (std::uint32_t(u[0]) << 24 | u[1] << 16 | u[2] << 8 | u[3]);
      } else {
        code = little ? (u[0] | u[1] << 8) : (u[0] << 8 | u[1]);
        if (high != 0) {
          if (code < 0xdc00 || code > 0xdfff) fail(offset);
          code = 0x10000 + ((high - 0xd800) << 10) + (code - 0xdc00);
          high = 0;
        } else if (code >= 0xd800 && code <= 0xdbff) {
          high = code;
          continue;
        } else if (code >= 0xdc00 && code <= 0xdfff) {
          fail(offset);
        }
      }
      if (code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) fail(offset);
      if (skip_mark) {
        skip_mark = false;
        if (code == 0xfeff) continue;
      }
      base::append_utf8(utf8, code);
    }
    carry = have - i;
    std::memmove(chunk.data(), chunk.data() + i, carry);
    if (std::fwrite(utf8.data(), 1, utf8.size(), to.get()) != utf8.size()) {
      throw Error("cannot write '" + out.string() + "': " + std::strerror(errno));
    }
  }
  if (std::fflush(to.get()) != 0) {
    throw Error("cannot write '" + out.string() + "': " + std::strerror(errno));
  }
}

}  // namespace norvex::files::detail

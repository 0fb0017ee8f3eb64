#pragma once
/// Where the lines that libraries write for a person go. By default standard output (and
/// standard error for error reports), so the printed texts and their order are exactly as
/// the libraries document them; a program or a server sends them elsewhere for the whole
/// process or for one run on one thread.

#include <functional>
#include <string_view>
#include "norvex/base/export.hpp"

namespace norvex::base {

/// Which standard stream a line is meant for when no sink takes it.
enum class Stream { out, err };

/// Receives one line, without its line break, and the stream it was meant for.
using OutputSink = std::function<void(Stream stream, std::string_view line)>;

/// Writes one line through the calling thread's sink (see ScopedOutput), else the
/// process's (see set_output), else to standard output (or error), flushed. Whole lines
/// never interleave.
NORVEX_API void print_line(std::string_view line, Stream stream = Stream::out);

/// Writes one line to the standard stream itself, whatever the sinks: for sinks that
/// forward to a standard stream. Whole lines never interleave.
NORVEX_API void print_line_to(Stream stream, std::string_view line);

/// Replaces the process-wide sink; an empty one restores the standard streams. Returns the
/// previous sink (empty for the standard streams). Thread rule: callable from any thread.
NORVEX_API OutputSink set_output(OutputSink sink);

/// The sink print_line() uses on this thread now; empty means the process's. Work that
/// moves to another thread takes it along with a ScopedOutput there.
[[nodiscard]] NORVEX_API OutputSink current_output();

/// Sends the calling thread's lines to `sink` while it lives (one run, one request). Scopes
/// nest; an empty sink means "the process's". Thread rule: belongs to the thread that made it.
class NORVEX_API ScopedOutput {
 public:
  explicit ScopedOutput(OutputSink sink);
  ~ScopedOutput();
  ScopedOutput(const ScopedOutput&) = delete;
  ScopedOutput& operator=(const ScopedOutput&) = delete;

 private:
  OutputSink sink_;
  ScopedOutput* previous_;
};

}  // namespace norvex::base

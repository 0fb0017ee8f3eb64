#pragma once
/// Where the lines that libraries write for a person go. By default standard output, so the
/// printed texts and their order are exactly as the libraries document them; a program or a
/// server sends them elsewhere for the whole process or for one run on one thread.

#include <functional>
#include <string_view>

namespace norvex::base {

/// Receives one line, without its line break.
using OutputSink = std::function<void(std::string_view line)>;

/// Writes one line through the calling thread's sink (see ScopedOutput), else the
/// process's (see set_output), else to standard output, flushed.
void print_line(std::string_view line);

/// Replaces the process-wide sink; an empty one restores standard output. Returns the
/// previous sink (empty for standard output). Thread rule: callable from any thread.
OutputSink set_output(OutputSink sink);

/// The sink print_line() uses on this thread now; empty means standard output. Work that
/// moves to another thread takes it along with a ScopedOutput there.
[[nodiscard]] OutputSink current_output();

/// Sends the calling thread's lines to `sink` while it lives (one run, one request). Scopes
/// nest; an empty sink means "the process's". Thread rule: belongs to the thread that made it.
class ScopedOutput {
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

#include "norvex/base/output.hpp"

#include <iostream>
#include <memory>
#include <mutex>
#include <utility>

namespace norvex::base {
namespace {

thread_local ScopedOutput* innermost = nullptr;
thread_local const OutputSink* innermost_sink = nullptr;

std::mutex& process_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const OutputSink>& process_sink() {
  static std::shared_ptr<const OutputSink> sink;
  return sink;
}

void to_standard_stream(Stream stream, std::string_view line) {
  static std::mutex mutex;  // whole lines, never interleaved
  std::lock_guard lock(mutex);
  if (stream == Stream::err) {
    std::cout.flush();  // what was printed before comes first
    std::cerr << line << '\n' << std::flush;
  } else {
    std::cout << line << '\n' << std::flush;
  }
}

}  // namespace

void print_line_to(Stream stream, std::string_view line) {
  to_standard_stream(stream, line);
}

void print_line(std::string_view line, Stream stream) {
  if (innermost_sink != nullptr) {
    (*innermost_sink)(stream, line);
    return;
  }
  std::shared_ptr<const OutputSink> sink;
  {
    std::lock_guard lock(process_mutex());
    sink = process_sink();
  }
  if (sink) {
    (*sink)(stream, line);
  } else {
    to_standard_stream(stream, line);
  }
}

OutputSink set_output(OutputSink sink) {
  auto next = sink ? std::make_shared<const OutputSink>(std::move(sink)) : nullptr;
  std::lock_guard lock(process_mutex());
  auto previous = std::exchange(process_sink(), std::move(next));
  return previous ? *previous : OutputSink();
}

OutputSink current_output() {
  if (innermost_sink != nullptr) return *innermost_sink;
  std::lock_guard lock(process_mutex());
  return process_sink() ? *process_sink() : OutputSink();
}

ScopedOutput::ScopedOutput(OutputSink sink) : sink_(std::move(sink)), previous_(innermost) {
  innermost = this;
  innermost_sink = sink_ ? &sink_ : nullptr;
}

ScopedOutput::~ScopedOutput() {
  innermost = previous_;
  innermost_sink = previous_ != nullptr && previous_->sink_ ? &previous_->sink_ : nullptr;
}

}  // namespace norvex::base

#pragma once
/// Entry points shared by the libFuzzer drivers and the replay test. Each takes one input,
/// feeds it to a parser the way untrusted text reaches it, and aborts (through
/// fuzz_check) on any behaviour the parser's contract rules out: an exception it does not
/// document, or a result that breaks the documented shape.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace norvex::fuzz {

/// Aborts with `what` on standard error when `condition` is false. Used instead of assert
/// so checks stay on in release builds.
void fuzz_check(bool condition, std::string_view what);

void fuzz_prompt_default(const std::uint8_t* data, std::size_t size);
void fuzz_prompt_jinja2(const std::uint8_t* data, std::size_t size);
void fuzz_uri(const std::uint8_t* data, std::size_t size);
void fuzz_dotenv(const std::uint8_t* data, std::size_t size);
void fuzz_record(const std::uint8_t* data, std::size_t size);
void fuzz_python_rows(const std::uint8_t* data, std::size_t size);
void fuzz_http_request(const std::uint8_t* data, std::size_t size);

}  // namespace norvex::fuzz

// The libFuzzer entry point for one target; NORVEX_FUZZ_ENTRY names its shared body.
#include <cstddef>
#include <cstdint>

#include "targets/fuzz_targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  norvex::fuzz::NORVEX_FUZZ_ENTRY(data, size);
  return 0;
}

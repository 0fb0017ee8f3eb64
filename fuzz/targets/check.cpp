#include <cstdio>
#include <cstdlib>

#include "fuzz_targets.hpp"

namespace norvex::fuzz {

void fuzz_check(bool condition, std::string_view what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace norvex::fuzz

// The main function of every test program: fences the tests to this machine before any
// test runs, so that nothing a test starts can send a packet elsewhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

void fence_to_loopback() {
  ::setenv("NORVEX_LOOPBACK_ONLY", "1", 1);
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    ::unsetenv(name);
  }
  // pip must fail at once instead of retrying an index it cannot reach.
  ::setenv("PIP_NO_INDEX", "1", 1);
  ::setenv("PIP_RETRIES", "0", 1);
  // matplotlib needs a writable cache folder and no display.
  if (std::getenv("MPLCONFIGDIR") == nullptr) {
    const auto dir = std::filesystem::temp_directory_path() / "norvex-test-mplconfig";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    ::setenv("MPLCONFIGDIR", dir.c_str(), 1);
  }
  ::setenv("MPLBACKEND", "agg", 1);
}

}  // namespace

int main(int argc, char** argv) {
  fence_to_loopback();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

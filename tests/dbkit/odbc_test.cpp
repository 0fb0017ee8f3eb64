// The "MsSQL" connection test through the real driver manager and FreeTDS, registered as
// "SQL Server" in the test servers' ODBCSYSINI folder, against a closed local port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "norvex/dbkit/connection.hpp"
#include "scratch.hpp"
#include "support/servers.hpp"

namespace norvex::dbkit {
namespace {

using test::printed_by;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class MssqlOverFreeTds : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* folder = std::getenv("ODBCSYSINI");
    std::ifstream drivers(std::filesystem::path(folder != nullptr ? folder : "") / "odbcinst.ini");
    std::stringstream text;
    text << drivers.rdbuf();
    if (folder == nullptr || text.str().find("[SQL Server]") == std::string::npos) {
      NORVEX_SKIP_OR_FAIL(
          "no ODBCSYSINI folder registering \"SQL Server\": start scripts/servers.sh");
    }
  }
};

TEST_F(MssqlOverFreeTds, RefusedConnectionIsAFailureTextWithoutThePassword) {
  const int closed = norvex::test::closed_local_port();
  std::string answer;
  EXPECT_EQ(printed_by([&] {
              answer = get_db_connection("MsSQL", "sa", "pw;x}y", "127.0.0.1", closed, "sales");
            }),
            "");
  EXPECT_EQ(answer,
            "Failed to connect to MsSQL database: [08S01] [FreeTDS][SQL Server]Unable to connect: "
            "Adaptive Server is unavailable or does not exist; [08001] [FreeTDS][SQL Server]Unable "
            "to connect to data source");
  EXPECT_THAT(answer, Not(HasSubstr("pw;x}y")));
  // A text port reaches the driver as written.
  EXPECT_THAT(get_db_connection("MsSQL", "sa", "pw", "127.0.0.1", std::to_string(closed), "sales"),
              StartsWith("Failed to connect to MsSQL database: [08S01] "));
}

}  // namespace
}  // namespace norvex::dbkit

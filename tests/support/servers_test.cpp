// The test servers that scripts/servers.sh starts are reachable where the environment says,
// and "unreachable" ports really refuse: the ground every database test stands on.
#include "support/servers.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace norvex::test {
namespace {

bool accepts_tcp(const std::string& host, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

TEST_F(MysqlTest, ServerListensOnLoopbackWithAnOrdinaryRole) {
  EXPECT_EQ(server_.host, "127.0.0.1");
  EXPECT_TRUE(accepts_tcp(server_.host, server_.port));
  EXPECT_FALSE(server_.user.empty());
  EXPECT_NE(server_.user, "root");
  EXPECT_EQ(server_.database, "Chinook");
}

TEST_F(PgTest, ServerListensOnLoopbackWithAnOrdinaryRole) {
  EXPECT_EQ(server_.host, "127.0.0.1");
  EXPECT_TRUE(accepts_tcp(server_.host, server_.port));
  EXPECT_NE(server_.user, "postgres");
  EXPECT_EQ(server_.database, "chinook");
}

TEST(TestSupport, ClosedLocalPortRefusesConnections) {
  EXPECT_FALSE(accepts_tcp("127.0.0.1", closed_local_port()));
}

TEST(TestSupport, ChinookScriptsAreWhereTestsLook) {
  EXPECT_TRUE(std::filesystem::exists(chinook_dir() / "chinook_sqlite.sql")) << chinook_dir();
}

}  // namespace
}  // namespace norvex::test

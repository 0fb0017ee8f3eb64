#pragma once
// A real HTTP server on 127.0.0.1 and a free port, running on its own thread for the life of
// the object: the peer for tests of everything that speaks HTTP.

#include <httplib.h>

#include <string>
#include <thread>

namespace norvex::test {

class LocalHttpServer {
 public:
  /// Register handlers on server() before calling start().
  LocalHttpServer() = default;
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  httplib::Server& server() { return server_; }
  /// Binds a free loopback port and returns once the server accepts connections.
  void start();
  void stop();
  [[nodiscard]] int port() const { return port_; }
  /// "http://127.0.0.1:<port>"
  [[nodiscard]] std::string base_url() const;

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace norvex::test

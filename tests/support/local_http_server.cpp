#include "support/local_http_server.hpp"

#include <chrono>
#include <stdexcept>

namespace norvex::test {

LocalHttpServer::~LocalHttpServer() {
  stop();
}

void LocalHttpServer::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port for the test server");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // cpp-httplib 0.11 has no wait_until_ready(): poll is_running().
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the local test server did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LocalHttpServer::stop() {
  if (thread_.joinable()) {
    server_.stop();
    thread_.join();
  }
}

std::string LocalHttpServer::base_url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

}  // namespace norvex::test

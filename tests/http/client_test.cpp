#include "norvex/http/client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/local_http_server.hpp"
#include "support/servers.hpp"

namespace norvex::http {
namespace {

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
      last_expect_ = req.get_header_value("Expect");
      last_custom_ = req.get_header_value("X-Custom");
      res.set_header("X-Answer", "42");
      res.set_content(req.body, "text/plain");
    });
    server_.server().Get("/status", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.get_param_value("code"));
      res.set_content("{\"error\":\"busy\"}", "application/json");
    });
    server_.server().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      res.set_content("late", "text/plain");
    });
    server_.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(100'000, 'x'), "text/plain");
    });
    server_.start();
  }

  test::LocalHttpServer server_;
  std::string last_expect_;
  std::string last_custom_;
};

TEST_F(HttpClientTest, PostSendsBodyAndHeadersWithoutExpectContinue) {
  Request request;
  request.method = "POST";
  request.url = server_.base_url() + "/echo";
  request.headers = {{"X-Custom", "yes"}, {"Content-Type", "text/plain"}};
  request.body = std::string(2'000'000, 'b');  // large enough that curl would ask 100-continue
  const Response response = perform(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body.size(), request.body.size());
  EXPECT_EQ(last_custom_, "yes");
  EXPECT_EQ(last_expect_, "");
  EXPECT_EQ(response.header("x-answer"), "42");
  EXPECT_EQ(response.header("missing"), std::nullopt);
}

TEST_F(HttpClientTest, ErrorStatusesAreAnswersNotExceptions) {
  for (int code : {404, 429, 500}) {
    const Response response =
        perform({.url = server_.base_url() + "/status?code=" + std::to_string(code)});
    EXPECT_EQ(response.status, code);
    EXPECT_EQ(response.body, "{\"error\":\"busy\"}");
  }
}

TEST_F(HttpClientTest, RequestTimeoutIsARetryableTimeoutError) {
  Request request{.url = server_.base_url() + "/slow"};
  request.timeout = std::chrono::milliseconds(200);
  try {
    perform(request);
    FAIL() << "expected a time-out";
  } catch (const RequestError& error) {
    EXPECT_EQ(error.code(), ErrorCode::timeout);
    EXPECT_TRUE(error.retryable());
  }
}

TEST_F(HttpClientTest, OversizedAnswerIsRefused) {
  Request request{.url = server_.base_url() + "/big"};
  request.max_response_bytes = 10'000;
  try {
    perform(request);
    FAIL() << "expected too_large";
  } catch (const RequestError& error) {
    EXPECT_EQ(error.code(), ErrorCode::too_large);
    EXPECT_FALSE(error.retryable());
  }
}

TEST_F(HttpClientTest, ConcurrentRequestsFromManyThreads) {
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        Request request{.method = "POST", .url = server_.base_url() + "/echo"};
        request.body = std::to_string(t * 100 + i);
        if (perform(request).body == request.body) ++ok;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok.load(), 80);
}

TEST(HttpClient, ClosedPortIsARetryableConnectFailure) {
  const int port = test::closed_local_port();
  try {
    perform({.url = "http://127.0.0.1:" + std::to_string(port) + "/v1/chat?api-key=SECRET"});
    FAIL() << "expected a connect failure";
  } catch (const RequestError& error) {
    EXPECT_EQ(error.code(), ErrorCode::connect_failed);
    EXPECT_TRUE(error.retryable());
    // The message shows where, never the path or query that may carry a key.
    EXPECT_NE(std::string(error.what()).find("127.0.0.1:" + std::to_string(port)),
              std::string::npos);
    EXPECT_EQ(std::string(error.what()).find("SECRET"), std::string::npos);
  }
}

TEST(HttpClient, MalformedOrNonHttpAddressesAreRefused) {
  for (const char* url : {"", "not a url", "ftp://127.0.0.1/x", "file:///etc/passwd"}) {
    try {
      perform({.url = url});
      ADD_FAILURE() << "accepted " << url;
    } catch (const RequestError& error) {
      EXPECT_EQ(error.code(), ErrorCode::bad_url) << url;
    }
  }
}

// The guard must refuse before anything is sent. 0.0.0.0 is not a loopback address, yet a
// connection to it stays on this machine, so a broken guard still sends nothing away.
TEST(LoopbackGuard, RefusesNonLoopbackHostsWhenFenced) {
  ASSERT_TRUE(loopback_only()) << "the test main sets NORVEX_LOOPBACK_ONLY=1";
  const int port = test::closed_local_port();
  try {
    perform({.url = "http://0.0.0.0:" + std::to_string(port) + "/"});
    FAIL() << "expected the loopback guard to refuse";
  } catch (const RequestError& error) {
    EXPECT_EQ(error.code(), ErrorCode::refused_host);
    EXPECT_NE(std::string(error.what()).find("NORVEX_LOOPBACK_ONLY"), std::string::npos);
  }
}

TEST(LoopbackGuard, RecognisesLoopbackSpellings) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "localhost", "LocalHost", "::1", "[::1]"}) {
    EXPECT_TRUE(is_loopback_host(host)) << host;
  }
  for (const char* host :
       {"", "0.0.0.0", "10.0.0.1", "127.0.0", "127.0.0.1.example.com", "127.0.0.256",
        "localhost.example.com", "128.0.0.1", "::2", "127..0.1"}) {
    EXPECT_FALSE(is_loopback_host(host)) << host;
  }
}

TEST(HttpClient, OriginHidesCredentialsPathAndQuery) {
  EXPECT_EQ(origin_of("http://user:pw@127.0.0.1:8080/deploy/x?api-key=k"), "http://127.0.0.1:8080");
  EXPECT_EQ(origin_of("https://example.openai.azure.com/openai"),
            "https://example.openai.azure.com:443");
  EXPECT_EQ(origin_of("::"), "<malformed address>");
}

}  // namespace
}  // namespace norvex::http

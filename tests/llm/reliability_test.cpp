// Failures of the service: retries with back-off, Retry-After, time-outs, unreachable
// servers, malformed answers, and error texts that never show the key.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "llm_test_support.hpp"
#include "norvex/error.hpp"
#include "support/servers.hpp"

namespace norvex::llm {
namespace {

using test::FakeChatServer;
using testing::azure_settings;
using ::testing::HasSubstr;
using testing::kTestKey;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

ChatServiceError call_error(ChatModel& model) {
  try {
    model.invoke("hello");
  } catch (const ChatServiceError& e) {
    return e;
  }
  ADD_FAILURE() << "the call succeeded";
  return ChatServiceError("(none)");
}

TEST(Retries, RateLimitsAndServerErrorsAreRetriedUntilAnAnswerArrives) {
  FakeChatServer server;
  server.push(FakeChatServer::error(429, "Too many requests"));
  server.push(FakeChatServer::error(503, "Service unavailable"));
  server.push(FakeChatServer::text("finally"));
  AzureChatOpenAI model(azure_settings(server), 10, 0.0, nullptr);
  EXPECT_EQ(model.invoke("hi").content, "finally");
  EXPECT_EQ(server.request_count(), 3u);
  // Every attempt sends the same request.
  const auto requests = server.requests();
  EXPECT_EQ(requests[0].body, requests[2].body);
}

TEST(Retries, GiveUpAfterMaxRetriesWithTheStatusAndTheServicesMessage) {
  FakeChatServer server;
  server.on_request([](const test::RecordedRequest&) {
    return FakeChatServer::error(500, "The server had an error while processing your request.");
  });
  auto settings = azure_settings(server);
  settings.options.max_retries = 3;
  AzureChatOpenAI model(settings, 10, 0.0, nullptr);
  const ChatServiceError error = call_error(model);
  EXPECT_EQ(server.request_count(), 4u);
  EXPECT_EQ(error.http_status(), 500);
  EXPECT_TRUE(error.retryable());
  EXPECT_THAT(error.what(), HasSubstr("HTTP 500"));
  EXPECT_THAT(error.what(), HasSubstr("The server had an error while processing your request."));
  EXPECT_THAT(error.what(), HasSubstr("after 4 attempts"));
}

TEST(Retries, ClientErrorsAreNotRetried) {
  FakeChatServer server;
  server.push(FakeChatServer::error(400, "Invalid value for 'tool_choice'", "invalid_request"));
  AzureChatOpenAI model(azure_settings(server), 10, 0.0, nullptr);
  const ChatServiceError error = call_error(model);
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(error.http_status(), 400);
  EXPECT_FALSE(error.retryable());
  EXPECT_THAT(error.what(), HasSubstr("Invalid value for 'tool_choice'"));
}

TEST(Retries, RetryAfterSecondsIsHonoured) {
  FakeChatServer server;
  server.push(FakeChatServer::rate_limited(1));
  server.push(FakeChatServer::text("ok"));
  AzureChatOpenAI model(azure_settings(server), 10, 0.0, nullptr);  // back-off base 1 ms
  const auto start = Clock::now();
  EXPECT_EQ(model.invoke("hi").content, "ok");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  // Without the header the wait would be about a millisecond.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(950));
}

TEST(Retries, RetryAfterIsCappedByTheLongestWait) {
  FakeChatServer server;
  server.push(FakeChatServer::rate_limited(3600));
  server.push(FakeChatServer::text("ok"));
  auto settings = azure_settings(server);
  settings.options.retry_max_delay = std::chrono::milliseconds(50);
  AzureChatOpenAI model(settings, 10, 0.0, nullptr);
  EXPECT_EQ(model.invoke("hi").content, "ok");
}

TEST(Retries, BackOffGrowsBetweenAttempts) {
  FakeChatServer server;
  std::vector<Clock::time_point> arrivals;
  std::mutex mutex;
  server.on_request([&](const test::RecordedRequest&) {
    std::lock_guard lock(mutex);
    arrivals.push_back(Clock::now());
    return FakeChatServer::error(500, "down");
  });
  auto settings = azure_settings(server);
  settings.options.retry_base_delay = std::chrono::milliseconds(100);
  settings.options.max_retries = 2;
  AzureChatOpenAI model(settings, 10, 0.0, nullptr);
  (void)call_error(model);
  ASSERT_EQ(arrivals.size(), 3u);
  // Waits are 50–100 ms, then 100–200 ms (half to full of base · 2^attempt).
  EXPECT_GE(arrivals[1] - arrivals[0], std::chrono::milliseconds(45));
  EXPECT_GE(arrivals[2] - arrivals[1], std::chrono::milliseconds(95));
}

TEST(Timeouts, ASlowAnswerEndsInARetryableErrorAfterTheRequestTimeout) {
  FakeChatServer server;
  server.on_request([](const test::RecordedRequest&) {
    return FakeChatServer::text("late").after(std::chrono::seconds(10));
  });
  auto settings = azure_settings(server);
  settings.options.request_timeout = std::chrono::milliseconds(200);
  settings.options.max_retries = 1;
  AzureChatOpenAI model(settings, 10, 0.0, nullptr);
  const ChatServiceError error = call_error(model);
  EXPECT_EQ(error.http_status(), 0);
  EXPECT_TRUE(error.retryable());
  EXPECT_THAT(error.what(), HasSubstr("after 2 attempts"));
  EXPECT_EQ(server.request_count(), 2u);
}

// A loopback port whose listener never accepts and whose backlog is full: new connection
// attempts get no answer at all, as with a firewall that drops packets.
class UnansweredPort {
 public:
  UnansweredPort() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot set up a listener");
    }
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 4; ++i) {
      const int fill = ::socket(AF_INET, SOCK_STREAM, 0);
      ::fcntl(fill, F_SETFL, O_NONBLOCK);
      (void)::connect(fill, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(fill);
    }
  }
  ~UnansweredPort() {
    for (int fd : fillers_) ::close(fd);
    ::close(listener_);
  }
  [[nodiscard]] int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

TEST(Timeouts, AServerThatNeverAcceptsEndsTheCallAfterTheConnectTimeout) {
  UnansweredPort silent;
  ModelSettings settings;
  settings.azure_endpoint = "http://127.0.0.1:" + std::to_string(silent.port());
  settings.azure_deployment = "d";
  settings.api_version = "2024-06-01";
  settings.options = testing::quick_options();
  settings.options.connect_timeout = std::chrono::milliseconds(200);
  settings.options.request_timeout = std::chrono::seconds(120);
  settings.options.max_retries = 0;
  AzureChatOpenAI model(settings, 10, 0.0, nullptr);
  const ChatServiceError error = call_error(model);
  // The connect time-out ended it, not the far longer request time-out.
  EXPECT_THAT(error.what(), HasSubstr("Failed to connect")) << error.what();
  EXPECT_EQ(error.http_status(), 0);
  EXPECT_TRUE(error.retryable());
}

TEST(Timeouts, AClosedPortIsANetworkFailureThatIsRetried) {
  ModelSettings settings;
  settings.azure_endpoint = "http://127.0.0.1:" + std::to_string(test::closed_local_port());
  settings.azure_deployment = "d";
  settings.api_version = "2024-06-01";
  settings.api_key = kTestKey;
  settings.options = testing::quick_options();
  AzureChatOpenAI model(settings, 10, 0.0, nullptr);
  const ChatServiceError error = call_error(model);
  EXPECT_EQ(error.http_status(), 0);
  EXPECT_TRUE(error.retryable());
  EXPECT_THAT(error.what(), HasSubstr("after 3 attempts"));
  EXPECT_THAT(error.what(), HasSubstr("127.0.0.1"));
}

TEST(MalformedAnswers, ABodyThatIsNotJsonOrHasNoMessageIsAServiceError) {
  FakeChatServer server;
  server.push(FakeChatServer::raw(200, "<html>proxy error</html>"));
  server.push(FakeChatServer::raw(200, R"({"choices": []})"));
  AzureChatOpenAI model(azure_settings(server), 10, 0.0, nullptr);
  EXPECT_THAT(call_error(model).what(), HasSubstr("not JSON: <html>proxy error</html>"));
  EXPECT_THAT(call_error(model).what(), HasSubstr("without a message"));
  EXPECT_EQ(server.request_count(), 2u);
}

TEST(MalformedAnswers, AnErrorBodyThatIsNotJsonIsShownShortened) {
  FakeChatServer server;
  server.push(FakeChatServer::raw(418, std::string(1000, 'z')));
  AzureChatOpenAI model(azure_settings(server), 10, 0.0, nullptr);
  const std::string message = call_error(model).what();
  EXPECT_THAT(message, HasSubstr("HTTP 418: zzz"));
  EXPECT_LT(message.size(), 400u);
}

TEST(Secrets, TheKeyNeverAppearsInAnErrorEvenWhenTheServiceEchoesIt) {
  FakeChatServer server;
  server.push(FakeChatServer::error(
      401, std::string("Incorrect API key provided: ") + kTestKey + ".", "invalid_api_key"));
  AzureChatOpenAI model(azure_settings(server), 10, 0.0, nullptr);
  const std::string message = call_error(model).what();
  EXPECT_THAT(message, HasSubstr("HTTP 401: Incorrect API key provided: ***."));
  EXPECT_THAT(message, Not(HasSubstr(kTestKey)));

  // Nor in the address shown for network failures.
  const ChatServiceError refused = [&] {
    ModelSettings s = azure_settings(server);
    s.azure_endpoint = "http://127.0.0.1:" + std::to_string(test::closed_local_port());
    s.options.max_retries = 0;
    AzureChatOpenAI m(s, 10, 0.0, nullptr);
    return call_error(m);
  }();
  EXPECT_THAT(refused.what(), Not(HasSubstr(kTestKey)));
  EXPECT_THAT(refused.what(), Not(HasSubstr("deployments")));
}

}  // namespace
}  // namespace norvex::llm

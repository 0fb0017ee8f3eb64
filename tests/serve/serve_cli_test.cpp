// `norvex serve` as a user starts it: SIGTERM while questions are in flight lets them finish
// and the program exits 0; nothing secret reaches its log.

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "support/chinook_sqlite.hpp"
#include "support/fake_chat_server.hpp"

namespace {

using norvex::test::FakeChatServer;
using norvex::test::RecordedRequest;
using Json = nlohmann::ordered_json;

struct Child {
  pid_t pid = -1;
  int err = -1;  // the read end of its standard error
};

Child start_serve(const std::vector<std::string>& args, const std::string& config) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], 2);
    ::close(pipe_fds[0]);
    ::setenv("NORVEX_MODEL_CONFIG", config.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(NORVEX_CLI_PROGRAM));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(NORVEX_CLI_PROGRAM, argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  return {pid, pipe_fds[0]};
}

// Reads standard error until `pattern` matches; returns everything read.
std::string read_until(int fd, const std::regex& pattern, std::smatch& match, std::string& text) {
  char buffer[512];
  while (!std::regex_search(text, match, pattern)) {
    const auto n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// A model configuration with both tiers on the fake chat service; returns its path.
std::string write_models(const std::filesystem::path& dir, const std::string& base_url,
                         const std::string& key) {
  const std::string config = (dir / "models.json").string();
  Json record = {{"provider", "openai"},
                 {"deployment_name", "m"},
                 {"azure_endpoint", base_url},
                 {"api_key", key}};
  Json small = record, large = record;
  small["model"] = "GPT-3.5";
  large["model"] = "GPT-4o";
  std::ofstream(config) << Json{{"models", {small, large}}}.dump();
  return config;
}

TEST(ServeCommand, SigtermFinishesQuestionsInFlightAndExitsZero) {
  FakeChatServer model;
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  int held = 0;
  model.on_request([&](const RecordedRequest& request) {
    if (request.requested_record() == "RelevantTablesOutput") {
      std::unique_lock lock(mutex);
      ++held;
      cv.notify_all();
      cv.wait(lock, [&] { return open; });
      return FakeChatServer::record(request, {{"relevant_tables", {"Artist"}}});
    }
    if (request.requested_record() == "SQLQueryInput") {
      return FakeChatServer::record(request, {{"sql_query", "SELECT COUNT(*) FROM Artist"}});
    }
    if (request.requested_record() == "PythonCodeInput") {
      return FakeChatServer::record(request, {{"code", "print(1)"}});
    }
    if (request.requested_record() == "GenerationOutput") {
      return FakeChatServer::record(request,
                                    {{"image_path", ""}, {"final_response", "275 artists"}});
    }
    return FakeChatServer::text("```sql\nSELECT COUNT(*) FROM Artist\n```");
  });
  const auto dir = norvex::test::scratch_dir();
  const std::string config = write_models(dir, model.openai_base_url(), "sk-never-logged-4242");

  Child child =
      start_serve({"serve", "--db", "chinook=" + norvex::test::chinook_sqlite_uri(), "--listen",
                   "127.0.0.1:0", "--media", (dir / "media").string(), "--log-questions"},
                  config);
  ASSERT_GT(child.pid, 0);
  std::string log;
  std::smatch match;
  read_until(child.err, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"), match, log);
  ASSERT_FALSE(match.empty()) << log;
  const int port = std::stoi(match[1]);

  std::vector<std::thread> askers;
  std::vector<std::string> answers(2);
  for (int i = 0; i < 2; ++i) {
    askers.emplace_back([&, i] {
      httplib::Client c("127.0.0.1", port);
      c.set_read_timeout(std::chrono::seconds(120));
      const auto res =
          c.Post("/v1/questions", R"({"question": "How many artists?"})", "application/json");
      answers[i] = res ? Json::parse(res->body).value("answer", res->body) : "no answer";
    });
  }
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return held == 2; });
  }
  ::kill(child.pid, SIGTERM);
  read_until(child.err, std::regex("Stopping"), match, log);
  {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
  for (auto& t : askers) t.join();
  read_until(child.err, std::regex("$^"), match, log);  // to the end
  int status = 0;
  ::waitpid(child.pid, &status, 0);
  ::close(child.err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
  EXPECT_EQ(answers, (std::vector<std::string>{"275 artists", "275 artists"}));
  EXPECT_NE(log.find("finishing 2 question(s)"), std::string::npos) << log;
  EXPECT_NE(log.find("How many artists?"), std::string::npos) << log;  // --log-questions
  EXPECT_EQ(log.find("sk-never-logged-4242"), std::string::npos) << log;
}

// A question that never finishes and a client stalled mid-request: SIGTERM closes the
// connections after --drain-seconds and the program exits (1: a question was abandoned); a
// second signal ends a long drain at once.
TEST(ServeCommand, ShutdownEndsInBoundedTimeWhateverClientsAndQuestionsDo) {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  int held = 0;
  FakeChatServer model;  // after what its handler uses, so it stops first
  model.on_request([&](const RecordedRequest&) {
    std::unique_lock lock(mutex);
    ++held;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
    return FakeChatServer::error(500, "released");
  });
  const auto dir = norvex::test::scratch_dir();
  const std::string config = write_models(dir, model.openai_base_url(), "k");

  for (const char* drain : {"1", "600"}) {
    Child child =
        start_serve({"serve", "--db", "chinook=" + norvex::test::chinook_sqlite_uri(), "--listen",
                     "127.0.0.1:0", "--media", (dir / "media").string(), "--drain-seconds", drain},
                    config);
    ASSERT_GT(child.pid, 0);
    std::string log;
    std::smatch match;
    read_until(child.err, std::regex("http://127\\.0\\.0\\.1:(\\d+)/"), match, log);
    ASSERT_FALSE(match.empty()) << log;
    const int port = std::stoi(match[1]);
    std::thread asker([port] {
      httplib::Client c("127.0.0.1", port);
      c.set_read_timeout(std::chrono::seconds(600));
      (void)c.Post("/v1/questions", R"({"question": "How many artists?"})", "application/json");
    });
    {
      std::unique_lock lock(mutex);
      const int before = held;
      cv.wait(lock, [&] { return held > before; });
    }
    // Stalled mid-request: the body never comes.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string start =
        "POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/json\r\nContent-Length: 99\r\n\r\n{";
    (void)::send(stalled, start.data(), start.size(), MSG_NOSIGNAL);
    ::kill(child.pid, SIGTERM);
    read_until(child.err, std::regex("Stopping"), match, log);
    if (std::string(drain) == "600") ::kill(child.pid, SIGTERM);
    read_until(child.err, std::regex("$^"), match, log);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    ::close(child.err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << log;
    EXPECT_NE(log.find(std::string(drain) == "1" ? "did not finish" : "second signal"),
              std::string::npos)
        << log;
    ::close(stalled);
    asker.join();
  }
  std::lock_guard lock(mutex);
  released = true;
  cv.notify_all();
}

}  // namespace

// The question service over real HTTP on 127.0.0.1: Chinook in SQLite, the scripted chat
// service as the model (answers keyed by a marker in each question), the real analysis worker.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "norvex/agent/agent.hpp"
#include "norvex/error.hpp"
#include "norvex/python/sandbox.hpp"
#include "norvex/serve/serve.hpp"
#include "norvex/sql/database.hpp"
#include "support/chinook_sqlite.hpp"
#include "support/fake_chat_server.hpp"
#include "support/servers.hpp"

namespace norvex::serve {
namespace {

using norvex::test::FakeChatServer;
using norvex::test::RecordedRequest;
using norvex::test::ScriptedAnswer;
using Json = nlohmann::ordered_json;

constexpr const char* kChartCode =
    "import matplotlib.pyplot as plt\nfig, ax = plt.subplots()\nax.bar(['a', 'b'], [1, 2])\n"
    "fig.savefig(r'{save_path}/chart.png')\nprint('OUT-CHART')";

// Every step answered from the marker "qid-N" of the question; "chart" in the question asks
// for analysis code that draws a chart.
ScriptedAnswer answer_by_marker(const RecordedRequest& request) {
  static const std::regex marker_pattern("qid-(\\d+)");
  std::smatch match;
  if (!std::regex_search(request.body, match, marker_pattern)) {
    return FakeChatServer::error(400, "a request without a question marker");
  }
  const std::string id = match[1];
  const std::string sql = "SELECT 'qid-" + id +
                          "' AS marker, COUNT(*) AS tracks FROM Track "
                          "WHERE TrackId <= " +
                          id;
  const std::string record = request.requested_record();
  if (record == "RelevantTablesOutput") {
    return FakeChatServer::record(request, {{"relevant_tables", {"Track"}}});
  }
  if (record == "SQLQueryInput") return FakeChatServer::record(request, {{"sql_query", sql}});
  if (record == "PythonCodeInput") {
    const bool chart = request.body.find("chart") != std::string::npos;
    std::string code = "print('OUT-QID-" + id + "')";
    if (chart) {
      // The save path is in the request (the prompt names it).
      static const std::regex save_pattern("(/[^ \"'\\\\]*/q-[0-9a-f]+)");
      std::smatch path;
      std::string folder = ".";
      if (std::regex_search(request.body, path, save_pattern)) folder = path[1];
      code = std::regex_replace(std::string(kChartCode), std::regex("\\{save_path\\}"), folder);
    }
    return FakeChatServer::record(request, {{"code", code}});
  }
  if (record == "GenerationOutput") {
    return FakeChatServer::record(request,
                                  {{"image_path", ""}, {"final_response", "Answer to qid-" + id}});
  }
  if (record == "RewriteQueryOutput") {
    return FakeChatServer::record(request, {{"rewritten_question", "qid-" + id}});
  }
  return FakeChatServer::text("```sql\n" + sql + "\n```");
}

std::vector<llm::ModelSettings> records_for(const FakeChatServer& server) {
  llm::ModelSettings small;
  small.model = "GPT-3.5";
  small.provider = llm::Provider::openai;
  small.azure_deployment = "small";
  small.azure_endpoint = server.openai_base_url();
  small.api_key = "none";
  small.options.max_retries = 0;
  llm::ModelSettings big = small;
  big.model = "GPT-4o";
  return {small, big};
}

void wait_until(const std::function<bool()>& condition) {
  while (!condition()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

const Token kAlice{"alice", "alice-secret-0123456789", {"chinook"}};
const Token kBob{"bob", "bob-secret-0123456789ab", {"other"}};

class Service : public ::testing::Test {
 protected:
  void SetUp() override { model_.on_request(answer_by_marker); }

  // Starts the service with `options` (port and media folder filled in).
  void start(Options options = {}, bool with_model = true) {
    Database d;
    d.name = "chinook";
    d.db = sql::CustomSQLDatabase::from_uri(norvex::test::chinook_sqlite_uri());
    if (with_model) {
      const auto tiers = agent::select_model_tiers(records_for(model_));
      d.flow = std::make_shared<query_flow::QueryFlow>(d.db, tiers.config_35, tiers.config_4);
    }
    options.port = 0;
    media_ = options.media_dir = norvex::test::scratch_dir() / "media";
    options.log = [this](std::string_view line) {
      std::lock_guard lock(log_mutex_);
      log_ += std::string(line) + "\n";
    };
    server_ = std::make_unique<Server>(std::vector<Database>{d}, options);
    server_->start();
  }

  httplib::Client client(const std::string& token = "") const {
    httplib::Client c("127.0.0.1", server_->port());
    c.set_read_timeout(std::chrono::seconds(120));
    if (!token.empty()) c.set_bearer_token_auth(token);
    return c;
  }

  httplib::Result ask(const std::string& question, const std::string& token = "") const {
    return client(token).Post("/v1/questions", Json{{"question", question}}.dump(),
                              "application/json");
  }

  std::string log() {
    std::lock_guard lock(log_mutex_);
    return log_;
  }

  // The access line of a request is written after its response has gone out: wait for it.
  std::string log_once_it_holds(std::string_view text) {
    for (std::string seen = log();; seen = log()) {
      if (seen.find(text) != std::string::npos) return seen;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  FakeChatServer model_;
  std::filesystem::path media_;
  std::mutex log_mutex_;
  std::string log_;
  // Last, so it stops (and logs its last lines) before the log it writes to goes away.
  std::unique_ptr<Server> server_;
};

TEST_F(Service, AnswersAQuestionWithRowsChartTimingsAndEveryReadEndpoint) {
  start();
  const auto res = ask("qid-7: how many tracks, as a chart?");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const Json result = Json::parse(res->body);
  EXPECT_EQ(result["answer"], "Answer to qid-7");
  EXPECT_NE(result["sql"].get<std::string>().find("qid-7"), std::string::npos);
  EXPECT_EQ(result["rows"], Json::parse(R"([["qid-7", 7]])"));
  EXPECT_EQ(result["analysis_output"].get<std::string>().find("OUT-CHART"), 0u);
  EXPECT_GT(result["tokens"]["total"].get<int>(), 0);
  EXPECT_EQ(result["steps"].front()["node"], "init_node");
  EXPECT_EQ(result["steps"].back()["node"], "final_response_generation_node");
  ASSERT_TRUE(result["chart_url"].is_string());
  const auto chart = client().Get(result["chart_url"].get<std::string>());
  ASSERT_EQ(chart->status, 200);
  EXPECT_EQ(chart->body.substr(1, 3), "PNG");

  auto c = client();
  EXPECT_EQ(Json::parse(c.Get("/v1/databases")->body)["databases"][0]["name"], "chinook");
  const Json tables = Json::parse(c.Get("/v1/databases/chinook/tables")->body)["tables"];
  EXPECT_NE(std::find(tables.begin(), tables.end(), "Track"), tables.end());
  EXPECT_EQ(c.Get("/v1/databases/nope/tables")->status, 404);
  EXPECT_NE(c.Get("/v1/graph")->body.find("sql_generation_node"), std::string::npos);
  EXPECT_NE(c.Get("/v1/graph?format=mermaid")->body.find("flowchart TD"), std::string::npos);
  EXPECT_EQ(c.Get("/v1/graph?format=svg")->status, 400);
  EXPECT_TRUE(Json::parse(c.Get("/v1/openapi.json")->body)["paths"].contains("/v1/questions"));
  EXPECT_EQ(c.Get("/healthz")->status, 200);
  // Ready once the analysis fork server is warm (it starts with the service).
  auto ready = c.Get("/readyz");
  while (ready->status != 200 && Json::parse(ready->body)["analysis"]["warm"] == false) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ready = c.Get("/readyz");
  }
  EXPECT_EQ(ready->status, 200) << ready->body;
  EXPECT_EQ(Json::parse(ready->body)["analysis"]["confined"], python::sandbox_layers().complete());
  EXPECT_NE(c.Get("/")->body.find("<textarea"), std::string::npos);
  const std::string metrics = c.Get("/metrics")->body;
  EXPECT_NE(metrics.find("norvex_questions_total{outcome=\"answered\"} 1"), std::string::npos);
  EXPECT_NE(metrics.find("norvex_step_seconds_count{node=\"sql_execution_node\"} 1"),
            std::string::npos);
  EXPECT_NE(metrics.find("norvex_db_pool_connections{database=\"chinook\""), std::string::npos);
  // One access line per request, without the question unless asked for.
  EXPECT_EQ(log_once_it_holds("access POST /v1/questions 200 ").find("how many tracks"),
            std::string::npos);
}

TEST_F(Service, StreamsOneEventPerFinishedStepThenTheResult) {
  start();
  std::string stream;
  httplib::Headers headers = {{"Accept", "text/event-stream"}};
  const auto res = client().Post("/v1/questions", headers,
                                 Json{{"question", "qid-3 tracks"}}.dump(), "application/json");
  ASSERT_EQ(res->status, 200);
  std::vector<std::pair<std::string, Json>> events;
  static const std::regex event_pattern("event: (\\w+)\ndata: ([^\n]*)\n\n");
  for (auto it = std::sregex_iterator(res->body.begin(), res->body.end(), event_pattern);
       it != std::sregex_iterator(); ++it) {
    events.emplace_back((*it)[1], Json::parse((*it)[2].str()));
  }
  ASSERT_GE(events.size(), 5u) << res->body;
  EXPECT_EQ(events.front().second["node"], "init_node");
  EXPECT_EQ(events.back().first, "result");
  EXPECT_EQ(events.back().second["answer"], "Answer to qid-3");
  Json streamed = Json::array();
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].first, "step");
    streamed.push_back(events[i].second);
  }
  EXPECT_EQ(streamed, events.back().second["steps"]);
}

TEST_F(Service, TokensGuardEveryEndpointButChartsAndProbes) {
  Options options;
  options.tokens = {kAlice, kBob};
  start(options);
  const auto missing = client().Get("/v1/databases");
  const auto wrong = client("alice-secret-0123456788").Get("/v1/databases");
  EXPECT_EQ(missing->status, 401);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(missing->body, wrong->body);  // nothing says which part was wrong
  EXPECT_EQ(client().Get("/metrics")->status, 401);
  EXPECT_EQ(client().Get("/healthz")->status, 200);
  // Readiness without a token says ready or not, nothing more; a token sees its databases.
  const Json anonymous = Json::parse(client().Get("/readyz")->body);
  EXPECT_EQ(anonymous.size(), 1u) << anonymous;
  EXPECT_TRUE(anonymous.contains("ready"));
  EXPECT_EQ(Json::parse(client(kBob.secret).Get("/readyz")->body)["databases"].size(), 0u);
  EXPECT_EQ(Json::parse(client(kAlice.secret).Get("/readyz")->body)["databases"][0]["name"],
            "chinook");
  // Metrics name no database a token may not use, and no figure of the whole service.
  const std::string bobs = client(kBob.secret).Get("/metrics")->body;
  EXPECT_EQ(bobs.find("chinook"), std::string::npos) << bobs;
  EXPECT_EQ(bobs.find("norvex_questions_total"), std::string::npos) << bobs;
  EXPECT_NE(client(kAlice.secret).Get("/metrics")->body.find("database=\"chinook\""),
            std::string::npos);
  EXPECT_EQ(ask("qid-1", "").value().status, 401);

  EXPECT_EQ(Json::parse(client(kBob.secret).Get("/v1/databases")->body)["databases"].size(), 0u);
  // The same refusal for a database that exists and one that does not.
  EXPECT_EQ(ask("qid-1", kBob.secret)->status, 403);
  EXPECT_EQ(client(kBob.secret).Get("/v1/databases/chinook/tables")->status, 403);
  EXPECT_EQ(client(kBob.secret).Get("/v1/databases/secret/tables")->status, 403);

  const auto ok = ask("qid-2 chart", kAlice.secret);
  ASSERT_EQ(ok->status, 200) << ok->body;
  const std::string url = Json::parse(ok->body)["chart_url"];
  EXPECT_EQ(client().Get(url)->status, 200);  // the unguessable id is the capability
  const std::string logged = log_once_it_holds("token=alice");
  EXPECT_EQ(logged.find(kAlice.secret), std::string::npos);
  EXPECT_EQ(logged.find("alice-secret-0123456788"), std::string::npos);
}

TEST_F(Service, ChartPathsFromTheRequestNeverReachTheFileSystem) {
  start();
  auto c = client();
  for (const char* path :
       {"/v1/charts/../../../../etc/passwd", "/v1/charts/..%2F..%2F..%2Fetc%2Fpasswd",
        "/v1/charts/%2e%2e/%2e%2e/etc/passwd", "/v1/charts/%2Fetc%2Fpasswd",
        "/v1/charts/....//....//etc/passwd", "/v1/charts/0123456789abcdef0123456789abcdef",
        "/v1/charts/"}) {
    const auto res = c.Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
    EXPECT_EQ(res->body.find("root:"), std::string::npos) << path;
  }
  // Neither a line break, a space, a Unicode line or paragraph separator, a bidirectional
  // override nor a stray byte in the path can forge or hide a log entry; chart ids are never
  // logged.
  (void)c.Get(
      "/v1/x%0Aaccess%20GET%20/admin%20200%200.1ms%20token=carol%E2%80%A8%E2%80%AE%C2%85%ff");
  const std::string logged = log_once_it_holds("token=carol");
  EXPECT_NE(logged.find("access GET /v1/x\\x0aaccess\\x20GET\\x20/admin\\x20200\\x200.1ms\\x20token"
                        "=carol\\xe2\\x80\\xa8\\xe2\\x80\\xae\\xc2\\x85\\xff 404 "),
            std::string::npos)
      << logged;
  for (const char c : logged) {
    EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << logged;
  }
  EXPECT_EQ(logged.find("0123456789abcdef0123456789abcdef"), std::string::npos);
}

TEST_F(Service, RefusesBadInputClearly) {
  Options options;
  options.max_body_bytes = 2000;
  options.max_question_chars = 100;
  start(options);
  auto c = client();
  EXPECT_EQ(c.Post("/v1/questions", std::string(5000, 'x'), "application/json")->status, 413);
  const auto long_question = ask(std::string(101, 'q'));
  EXPECT_EQ(long_question->status, 413);
  EXPECT_NE(long_question->body.find("question_too_long"), std::string::npos);
  EXPECT_EQ(c.Post("/v1/questions", "{not json", "application/json")->status, 400);
  EXPECT_EQ(c.Post("/v1/questions", R"({"question": 5})", "application/json")->status, 400);
  EXPECT_EQ(c.Post("/v1/questions", R"({"question": " "})", "application/json")->status, 400);
  EXPECT_EQ(
      c.Post("/v1/questions", R"({"question": "q", "database": "x"})", "application/json")->status,
      404);
  EXPECT_EQ(model_.request_count(), 0u);
}

TEST_F(Service, RefusesQuestionsClearlyWithoutAModel) {
  Options options;
  options.tokens = {kAlice, kBob};
  start(options, false);
  const auto res = ask("qid-1", kAlice.secret);
  EXPECT_EQ(res->status, 503);
  EXPECT_NE(res->body.find("model_not_configured"), std::string::npos);
  EXPECT_EQ(client().Get("/readyz")->status, 503);
  EXPECT_EQ(client(kAlice.secret).Get("/readyz")->status, 503);
  // Whether a token's service is ready says nothing of databases it may not use.
  const auto bobs = [&] { return Json::parse(client(kBob.secret).Get("/readyz")->body); };
  wait_until([&] { return bobs()["analysis"]["warm"].get<bool>(); });
  const Json ready = bobs();
  EXPECT_EQ(ready["ready"].get<bool>(),
            ready["accepting"].get<bool>() && ready["analysis"]["confined"].get<bool>())
      << ready;
}

TEST(ServiceSettings, NonLoopbackNeedsTokensAndTokenFilesAreChecked) {
  Database d{"db", sql::CustomSQLDatabase::from_uri("sqlite:///:memory:"), nullptr, nullptr};
  Options open;
  open.host = "0.0.0.0";
  EXPECT_THROW(Server({d}, open), ArgumentError);
  EXPECT_TRUE(is_loopback_host("127.0.0.2"));
  EXPECT_FALSE(is_loopback_host("10.0.0.1"));

  const auto tokens =
      parse_tokens("# team\n\nops 0123456789abcdefXYZ *\nbi fedcba9876543210 a,b\n", "tokens.txt");
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_TRUE(tokens[0].allows("anything"));
  EXPECT_TRUE(tokens[1].allows("b"));
  EXPECT_FALSE(tokens[1].allows("c"));
  try {
    (void)parse_tokens("x 0123456789abcdef a\ny 0123456789abcdef b\n", "tokens.txt");
    FAIL() << "a repeated token was accepted";
  } catch (const ArgumentError& e) {
    EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos);
    EXPECT_EQ(std::string(e.what()).find("0123456789abcdef"), std::string::npos);
  }
  EXPECT_THROW((void)parse_tokens("short abc db\n", "t"), ArgumentError);
  EXPECT_THROW((void)parse_tokens("only-a-name\n", "t"), ArgumentError);
}

// Holds every model answer until released, so questions stay in flight.
class Gate {
 public:
  ScriptedAnswer wait_then(const RecordedRequest& request) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
    return answer_by_marker(request);
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST_F(Service, PerTokenLimitAndBoundedQueueAnswerWithRetryAfter) {
  Gate gate;
  model_.on_request([&](const RecordedRequest& r) { return gate.wait_then(r); });
  Options options;
  options.tokens = {kAlice, Token{"carol", "carol-secret-0123456789", {"*"}}};
  options.workers = 1;
  options.queue_limit = 1;
  options.per_token_limit = 2;
  start(options);
  std::vector<std::thread> held;
  std::vector<int> statuses(2);
  for (int i = 0; i < 2; ++i) {
    held.emplace_back(
        [&, i] { statuses[i] = ask("qid-" + std::to_string(i + 1), kAlice.secret)->status; });
  }
  wait_until([&] { return server_->questions_in_flight() == 2; });
  const auto per_token = ask("qid-3", kAlice.secret);
  EXPECT_EQ(per_token->status, 429);
  EXPECT_EQ(per_token->get_header_value("Retry-After"), "2");
  const auto queue_full = ask("qid-4", "carol-secret-0123456789");
  EXPECT_EQ(queue_full->status, 503);
  EXPECT_EQ(queue_full->get_header_value("Retry-After"), "2");
  gate.open();
  for (auto& t : held) t.join();
  EXPECT_EQ(statuses, (std::vector<int>{200, 200}));
}

TEST_F(Service, ShutdownFinishesQuestionsInFlightAndTakesNoNewOnes) {
  Gate gate;
  model_.on_request([&](const RecordedRequest& r) { return gate.wait_then(r); });
  Options options;
  options.workers = 2;
  start(options);
  std::vector<std::thread> held;
  std::vector<std::string> answers(2);
  for (int i = 0; i < 2; ++i) {
    held.emplace_back([&, i] {
      const auto res = ask("qid-" + std::to_string(i + 1));
      answers[i] = res ? Json::parse(res->body).value("answer", res->body) : "no answer";
    });
  }
  wait_until([&] { return server_->questions_in_flight() == 2; });
  bool drained = false;
  std::thread stopping([&] { drained = server_->shutdown(std::chrono::minutes(5)); });
  // New connections are refused once the listener is closed.
  wait_until([&] { return !client().Get("/healthz"); });
  gate.open();
  stopping.join();
  for (auto& t : held) t.join();
  EXPECT_TRUE(drained);
  EXPECT_EQ(answers, (std::vector<std::string>{"Answer to qid-1", "Answer to qid-2"}));
}

TEST_F(Service, ThirtyTwoConcurrentQuestionsEachGetTheirOwnAnswer) {
  Options options;
  options.workers = 8;
  start(options);
  std::vector<std::thread> threads;
  std::vector<std::string> faults(32);
  for (int i = 0; i < 32; ++i) {
    threads.emplace_back([&, i] {
      const std::string id = std::to_string(100 + i);
      const auto res = ask("qid-" + id + " tracks");
      if (!res || res->status != 200) {
        faults[i] = "status " + (res ? std::to_string(res->status) + res->body : "none");
        return;
      }
      const Json r = Json::parse(res->body);
      if (r["answer"] != "Answer to qid-" + id || r["analysis_output"] != "OUT-QID-" + id + "\n" ||
          r["rows"] != Json::array({Json::array({"qid-" + id, 100 + i})})) {
        faults[i] = r.dump();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 32; ++i) EXPECT_EQ(faults[i], "") << "question " << i;
}

// A connection to the service; `receive_buffer` (when set) shrinks the client's window.
int connect_to(int port, int receive_buffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The status of the answer waiting on `fd` (0 for none: closed or reset).
int status_of(int fd) {
  char buffer[64] = {};
  const auto n = ::recv(fd, buffer, sizeof buffer - 1, 0);
  int status = 0;
  if (n > 12) std::sscanf(buffer, "HTTP/1.1 %d", &status);
  return status;
}

long resident_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(Service, TricklingClientsHoldNoThreadThatAnswers) {
  Options options;
  options.workers = 1;
  options.queue_limit = 1;
  options.read_timeout = std::chrono::seconds(1);
  start(options);
  // 100 clients, far more than the service's threads, each sending a byte of its header
  // every 50 ms: they lose their connection once a request has taken longer than the read
  // time-out, and meanwhile everyone else is answered.
  std::vector<int> slow;
  for (int i = 0; i < 100; ++i) slow.push_back(connect_to(server_->port()));
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    while (trickling) {
      for (const int fd : slow) (void)::send(fd, "X", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  EXPECT_EQ(client().Get("/healthz")->status, 200);
  const auto res = ask("qid-9 tracks");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(client().Get("/healthz")->status, 200);
  std::size_t timed_out = 0;
  for (const int fd : slow) {
    timed_out += status_of(fd) == 408;
    ::close(fd);
  }
  trickling = false;
  trickle.join();
  EXPECT_EQ(timed_out, slow.size());
}

TEST_F(Service, ClientsThatStopReadingHoldNoThreadThatAnswers) {
  Options options;
  options.workers = 1;
  options.queue_limit = 1;
  options.write_timeout = std::chrono::minutes(10);
  start(options);
  // More clients than the service has threads, each asking for the page a thousand times in
  // one go (far more than socket buffers hold) and reading nothing: their answers wait for
  // them, and meanwhile everyone else is answered.
  std::string requests;
  for (int i = 0; i < 1000; ++i) requests += "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<int> stalled;
  for (int i = 0; i < 12; ++i) {
    const int fd = connect_to(server_->port(), 4096);
    ASSERT_EQ(::send(fd, requests.data(), requests.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(requests.size()));
    stalled.push_back(fd);
  }
  // Their answers pile up for a while before writes would block: keep asking meanwhile.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(client().Get("/healthz")->status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const auto res = ask("qid-10 tracks");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (const int fd : stalled) ::close(fd);
  EXPECT_EQ(client().Get("/healthz")->status, 200);
}

TEST_F(Service, ConnectionsBeyondTheLimitAreRefusedAtOnce) {
  Options options;
  options.max_connections = 4;
  start(options);
  std::vector<int> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(connect_to(server_->port()));
  const int extra = connect_to(server_->port());
  EXPECT_EQ(status_of(extra), 503);
  ::close(extra);
  EXPECT_EQ(client().Get("/healthz")->status, 503);
  for (const int fd : idle) ::close(fd);
  wait_until([&] { return client().Get("/healthz") && client().Get("/healthz")->status == 200; });
}

// Sends `head`, then `piece` over and over until the service stops taking it or `limit`
// bytes went out. Returns the bytes sent and the status answered (0 when none was read).
std::pair<std::size_t, int> flood(int port, const std::string& head, const std::string& piece,
                                  std::size_t limit) {
  const int fd = connect_to(port);
  std::size_t sent = 0;
  if (::send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0) {
    while (sent < limit) {
      const auto n = ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }
  const int status = status_of(fd);
  ::close(fd);
  return {sent, status};
}

TEST_F(Service, HugeChunkedBodiesAndHeaderFloodsCostBoundedMemory) {
  Options options;
  options.tokens = {kAlice};
  start(options);
  const auto warm = ask("qid-1 tracks", kAlice.secret);
  ASSERT_EQ(warm->status, 200);
  const long before = resident_kb();
  // Four chunked bodies of up to 64 MiB without a token, four header sections of up to
  // 32 MiB: each is refused once it passes its limit, long before it is all sent.
  constexpr std::size_t kBody = 64u << 20, kHeaders = 32u << 20;
  std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
  std::string header_line = "X-Filler: " + std::string(8 * 1024, 'h') + "\r\n";
  std::vector<std::thread> attackers;
  std::vector<std::pair<std::size_t, int>> outcomes(8);
  for (int i = 0; i < 4; ++i) {
    attackers.emplace_back([&, i] {
      outcomes[i] = flood(server_->port(),
                          "POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                          "application/json\r\nTransfer-Encoding: chunked\r\n\r\n",
                          chunk, kBody);
    });
    attackers.emplace_back([&, i] {
      outcomes[4 + i] = flood(server_->port(), "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n",
                              header_line, kHeaders);
    });
  }
  EXPECT_EQ(client().Get("/healthz")->status, 200);
  const auto during = ask("qid-2 tracks", kAlice.secret);
  ASSERT_TRUE(during);
  EXPECT_EQ(during->status, 200);
  for (auto& t : attackers) t.join();
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const auto [sent, status] = outcomes[i];
    EXPECT_LT(sent, i < 4 ? kBody : kHeaders) << "attacker " << i << " was read to the end";
    // The refusal, unless the connection was reset before the client read it.
    EXPECT_TRUE(status == (i < 4 ? 413 : 431) || status == 0) << status;
  }
  // Bounded: far below what was sent (384 MiB).
  EXPECT_LT(resident_kb() - before, 48 * 1024);
  EXPECT_EQ(client().Get("/healthz")->status, 200);
}

TEST_F(Service, ErrorTextsInAnyEncodingReachTheClientAsValidJson) {
  // A model service that answers an error page in Latin-1.
  model_.on_request([](const RecordedRequest&) {
    return FakeChatServer::raw(400, "\xe9\x63hec de la requ\xeate \xff\xfe");
  });
  start();
  const auto plain = ask("qid-1");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 502);
  EXPECT_NE(Json::parse(plain->body)["error"]["message"].get<std::string>().find("\xef\xbf\xbd"),
            std::string::npos)
      << plain->body;
  const auto streamed = client().Post("/v1/questions", {{"Accept", "text/event-stream"}},
                                      Json{{"question", "qid-2"}}.dump(), "application/json");
  ASSERT_TRUE(streamed);
  const auto error = streamed->body.find("event: error\ndata: ");
  ASSERT_NE(error, std::string::npos) << streamed->body;
  const std::string data = streamed->body.substr(error + 19);
  EXPECT_EQ(Json::parse(data.substr(0, data.find('\n')))["status"], 502);
  const auto bad_name = client().Get("/v1/databases/%ff/tables");
  EXPECT_EQ(bad_name->status, 404);
  EXPECT_FALSE(Json::parse(bad_name->body).is_discarded());
  EXPECT_EQ(client().Get("/healthz")->status, 200);
}

TEST_F(Service, OnlyKnownHostsOriginsAndJsonBodiesReachTheEndpoints) {
  Options options;
  options.allowed_hosts = {"norvex.internal"};
  options.cors_origin = "http://app.example";
  start(options);
  std::ifstream cases(NORVEX_FRONT_DOOR_CASES);
  ASSERT_TRUE(cases);
  const std::string port = std::to_string(server_->port());
  int checked = 0;
  for (std::string line; std::getline(cases, line);) {
    if (line.empty() || line.front() == '#') continue;
    line = std::regex_replace(line, std::regex("\\{port\\}"), port);
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    ASSERT_EQ(f.size(), 6u) << line;
    std::string request = f[0] + " " + f[1] + " HTTP/1.1\r\nHost: " + f[2] + "\r\n";
    if (f[3] != "-") request += "Origin: " + f[3] + "\r\n";
    if (f[4] != "-") request += "Content-Type: " + f[4] + "\r\n";
    request += f[0] == "POST" ? "Content-Length: 2\r\n\r\n{}" : "\r\n";
    const int fd = connect_to(server_->port());
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    EXPECT_EQ(status_of(fd), std::stoi(f[5])) << line;
    ::close(fd);
    ++checked;
  }
  EXPECT_GT(checked, 30);
  EXPECT_EQ(model_.request_count(), 0u);
  const auto page = client().Get("/");
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
            std::string::npos);
}

TEST_F(Service, AQuestionWhoseStreamClientLeftStopsAndOldFoldersGo) {
  Gate gate;
  std::atomic<int> calls{0};
  model_.on_request([&](const RecordedRequest& r) {
    ++calls;
    return gate.wait_then(r);
  });
  Options options;
  options.media_ttl = std::chrono::seconds(0);
  start(options);
  std::filesystem::create_directories(media_ / "q-0000000000000000");
  const int fd = connect_to(server_->port());
  const std::string body = Json{{"question", "qid-5"}}.dump();
  const std::string request =
      "POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
      "Content-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  wait_until([&] { return calls > 0; });  // the first model call is waiting
  ::close(fd);
  gate.open();
  wait_until([&] {
    return client().Get("/metrics")->body.find("outcome=\"cancelled\"} 1") != std::string::npos;
  });
  // The model was not asked again after the step that was running when the client left.
  EXPECT_LE(calls.load(), 2);
  // An old question folder went with the question that came after it.
  EXPECT_FALSE(std::filesystem::exists(media_ / "q-0000000000000000"));
}

// Relays connections to a port on 127.0.0.1 until told to stall: then it stops passing bytes
// on, as a database whose network has gone silent would.
class StallingRelay {
 public:
  explicit StallingRelay(int target) : target_(target) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 16);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    threads_.emplace_back([this] {
      for (int client; (client = ::accept(listener_, nullptr, nullptr)) >= 0;) {
        const int upstream = connect_to(target_);
        threads_.emplace_back([this, client, upstream] { pass(client, upstream); });
      }
    });
  }
  ~StallingRelay() {
    stalled_ = false;
    done_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    for (auto& t : threads_) t.join();
  }
  int port() const { return port_; }
  void stall() { stalled_ = true; }

 private:
  void pass(int a, int b) {
    char buffer[4096];
    while (!done_) {
      pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (stalled_ || ::poll(fds, 2, 20) <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      const int from = (fds[0].revents != 0) ? a : b;
      const auto n = ::recv(from, buffer, sizeof buffer, 0);
      if (n <= 0 ||
          ::send(from == a ? b : a, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
        break;
    }
    ::close(a);
    ::close(b);
  }
  int target_;
  int listener_;
  int port_ = 0;
  std::atomic<bool> stalled_{false};
  std::atomic<bool> done_{false};
  std::vector<std::thread> threads_;
};

TEST(ServiceReadiness, AStalledDatabaseCostsAProbeItsTimeOutAndShowsNoDriverText) {
  const auto pg = norvex::test::pg_server();
  if (!pg) NORVEX_SKIP_OR_FAIL("PostgreSQL is not running (scripts/servers.sh start)");
  StallingRelay relay(pg->port);
  Database d;
  d.name = "pg";
  d.db = sql::CustomSQLDatabase::from_uri("postgresql://" + pg->user + ":" + pg->password +
                                          "@127.0.0.1:" + std::to_string(relay.port()) + "/" +
                                          pg->database);
  Options options;
  options.port = 0;
  options.probe_timeout = std::chrono::milliseconds(200);
  options.media_dir = norvex::test::scratch_dir();
  options.log = [](std::string_view) {};
  Server server({d}, options);
  server.start();
  httplib::Client c("127.0.0.1", server.port());
  relay.stall();
  const auto ready = c.Get("/readyz");
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->status, 503);
  const Json body = Json::parse(ready->body);
  EXPECT_EQ(body["databases"][0]["reachable"], false) << body;
  EXPECT_EQ(ready->body.find(std::to_string(relay.port())), std::string::npos) << ready->body;
  EXPECT_EQ(ready->body.find(pg->user), std::string::npos) << ready->body;
  // A second probe while the first still waits starts no other database call.
  EXPECT_EQ(c.Get("/readyz")->status, 503);
  EXPECT_EQ(c.Get("/healthz")->status, 200);
  server.shutdown(std::chrono::seconds(5));
}

}  // namespace
}  // namespace norvex::serve

#include "query_flow_test_support.hpp"

#include "sql_test_support.hpp"

namespace norvex::query_flow::test {

namespace {

std::string take(std::deque<std::string>& queue, const char* what) {
  if (queue.empty()) throw std::logic_error(std::string("no scripted ") + what);
  std::string next = queue.front();
  if (queue.size() > 1) queue.pop_front();
  return next;
}

}  // namespace

ScriptedPipeline::ScriptedPipeline() {
  server_.on_request([this](const RecordedRequest& request) { return answer(request); });
}

norvex::test::ScriptedAnswer ScriptedPipeline::answer(const RecordedRequest& request) {
  std::lock_guard lock(mutex_);
  if (override) {
    if (auto answer = override(request)) return std::move(*answer);
  }
  const std::string record = request.requested_record();
  if (record == "RelevantTablesOutput") {
    return FakeChatServer::record(request, {{"relevant_tables", relevant_tables}});
  }
  if (record == "SQLQueryInput") {
    last_sql_ = take(sql_queries, "SQL query");
    return FakeChatServer::record(request, {{"sql_query", last_sql_}});
  }
  if (record == "PythonCodeInput") {
    return FakeChatServer::record(request, {{"code", take(pandas_codes, "analysis code")}});
  }
  if (record == "RewriteQueryOutput") {
    return FakeChatServer::record(request, {{"rewritten_question", rewritten_question}});
  }
  if (record == "GenerationOutput") {
    return FakeChatServer::record(request,
                                  {{"image_path", image_path}, {"final_response", final_response}});
  }
  // The query checker reviews the newest query; it finds nothing to change.
  return FakeChatServer::text("```sql\n" + last_sql_ + "\n```");
}

std::vector<RecordedRequest> ScriptedPipeline::requests_for(const std::string& record) const {
  std::vector<RecordedRequest> out;
  for (auto& request : server_.requests()) {
    if (request.requested_record() == record) out.push_back(std::move(request));
  }
  return out;
}

llm::ClientOptions quick_options() {
  llm::ClientOptions o;
  o.max_retries = 0;
  o.connect_timeout = std::chrono::milliseconds(2'000);
  o.request_timeout = std::chrono::milliseconds(10'000);
  return o;
}

llm::AzureOpenAIChat35 ScriptedPipeline::small_settings() const {
  llm::AzureOpenAIChat35 s;
  s.provider = llm::Provider::azure;
  s.azure_deployment = kSmallDeployment;
  s.azure_endpoint = server_.base_url();
  s.api_key = "test-key-small";
  s.api_version = "2024-06-01";
  s.options = quick_options();
  return s;
}

llm::AzureOpenAIChat4 ScriptedPipeline::big_settings() const {
  llm::AzureOpenAIChat4 s;
  s.provider = llm::Provider::openai;
  s.azure_deployment = kBigModel;
  s.azure_endpoint = server_.openai_base_url();
  s.api_key = "none";
  s.options = quick_options();
  return s;
}

std::vector<Engine> engines() {
  return sql::test::chinook_engines({"sqlite", "mariadb", "postgresql"});
}

const Engine& sqlite_engine() {
  return sql::test::chinook_engine("sqlite");
}

std::string top_artists_query(const Engine& engine) {
  const auto n = [&](const char* pascal) { return engine.spell(pascal); };
  return "SELECT ar." + n("Name") + ", COUNT(*) AS albums FROM " + n("Album") + " al JOIN " +
         n("Artist") + " ar ON ar." + n("ArtistId") + " = al." + n("ArtistId") + " GROUP BY ar." +
         n("Name") + " ORDER BY albums DESC, ar." + n("Name") + " LIMIT 5";
}

std::filesystem::path save_dir() {
  return sql::test::temp_dir();
}

std::string chart_code(const std::filesystem::path& dir) {
  return "import matplotlib\n"
         "matplotlib.use('agg')\n"
         "import matplotlib.pyplot as plt\n"
         "rows = [('Iron Maiden', 21), ('Led Zeppelin', 14), ('Deep Purple', 11)]\n"
         "fig, ax = plt.subplots()\n"
         "ax.bar([r[0] for r in rows], [r[1] for r in rows])\n"
         "fig.savefig(r'" +
         (dir / "chart.png").string() +
         "')\n"
         "print('Top artist:', rows[0][0])\n";
}

}  // namespace norvex::query_flow::test

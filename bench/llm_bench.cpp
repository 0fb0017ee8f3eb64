// Chat-client overhead: reading a structured answer, and one whole structured call over
// loopback HTTP to a server that answers at once (the client's share of a model step).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

#include "norvex/llm/llm.hpp"

namespace {

using norvex::llm::FieldType;
using norvex::llm::Json;
using norvex::llm::RecordSchema;

const RecordSchema kCode{"PythonCodeInput",
                         {{"code", FieldType::text, "Python code to be executed"}}};

// About 4 kB of analysis code, fenced, as models often send it.
std::string code_answer() {
  std::string code = "```python\nimport pandas as pd\nimport matplotlib.pyplot as plt\n";
  for (int i = 0; i < 60; ++i) {
    code += "df['col_" + std::to_string(i) + "'] = df['revenue'].rolling(3).mean()  # smooth\n";
  }
  code += "plt.savefig('/tmp/media/chart.png')\nprint(df.describe())\n```";
  return Json{{"code", code}}.dump();
}

void BM_ParseRecordCodeAnswer(benchmark::State& state) {
  const std::string answer = code_answer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(norvex::llm::parse_record(kCode, answer));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(BM_ParseRecordCodeAnswer);

void BM_StructuredCallLoopback(benchmark::State& state) {
  const Json completion = {
      {"choices",
       Json::array({{{"index", 0},
                     {"finish_reason", "tool_calls"},
                     {"message",
                      {{"role", "assistant"},
                       {"content", nullptr},
                       {"tool_calls", Json::array({{{"id", "c"},
                                                    {"type", "function"},
                                                    {"function",
                                                     {{"name", "PythonCodeInput"},
                                                      {"arguments", code_answer()}}}}})}}}}})},
      {"usage", {{"prompt_tokens", 900}, {"completion_tokens", 300}}}};
  const std::string body = completion.dump();
  httplib::Server server;
  // Without it the server's header and body writes meet delayed ACKs (~40 ms a call).
  server.set_tcp_nodelay(true);
  server.Post(".*", [&](const httplib::Request&, httplib::Response& res) {
    // A type the server does not compress: brotli would cost the server ~3 ms a call, which
    // is not the client's overhead.
    res.set_content(body, "application/octet-stream");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  norvex::llm::ModelSettings settings;
  settings.azure_endpoint = "http://127.0.0.1:" + std::to_string(port);
  settings.azure_deployment = "gpt-4o";
  settings.api_version = "2024-06-01";
  settings.api_key = "bench-key";
  auto model = norvex::llm::make_chat_model(settings, 4000, 0.0, Json{{"top_p", 0.95}});
  const auto structured = model->with_structured_output(kCode);
  const std::vector<norvex::prompts::Message> prompt = {
      norvex::prompts::SystemMessage(std::string(6000, 's')),
      norvex::prompts::HumanMessage("Plot revenue per month")};
  for (auto _ : state) {
    benchmark::DoNotOptimize(structured->invoke(prompt));
  }
  server.stop();
  thread.join();
}
BENCHMARK(BM_StructuredCallLoopback)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

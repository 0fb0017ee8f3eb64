#include "scripted_chat.hpp"

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace norvex::bench {

ScriptedChatServer::ScriptedChatServer(ScriptedAnswer answer, Options options) {
  server_.new_task_queue = [threads = options.threads] {
    return new httplib::ThreadPool(static_cast<std::size_t>(threads));
  };
  server_.Post(R"(.*)", [this, answer = std::move(answer), options](const httplib::Request& req,
                                                                    httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
    calls.fetch_add(1);
    const Json body = Json::parse(req.body);
    std::string record;
    if (body.contains("tool_choice") && body["tool_choice"].is_object()) {
      record = body["tool_choice"]["function"].value("name", "");
    }
    const Json scripted = answer(record, req.body);
    Json message = {{"role", "assistant"}};
    if (record.empty()) {
      message["content"] = scripted;
    } else {
      message["content"] = nullptr;
      message["tool_calls"] =
          Json::array({{{"id", "call_1"},
                        {"type", "function"},
                        {"function", {{"name", record}, {"arguments", scripted.dump()}}}}});
    }
    const Json reply = {
        {"id", "chatcmpl-bench"},
        {"object", "chat.completion"},
        {"choices", Json::array({{{"index", 0},
                                  {"message", message},
                                  {"finish_reason", record.empty() ? "stop" : "tool_calls"}}})},
        {"usage",
         {{"prompt_tokens", options.prompt_tokens},
          {"completion_tokens", options.completion_tokens}}}};
    res.set_content(reply.dump(), "application/json");
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // cpp-httplib 0.11 has no wait_until_ready().
  while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ScriptedChatServer::~ScriptedChatServer() {
  server_.stop();
  thread_.join();
}

llm::AzureOpenAIChat35 ScriptedChatServer::small() const {
  llm::AzureOpenAIChat35 s;
  s.provider = llm::Provider::openai;
  s.azure_endpoint = endpoint() + "/v1";
  s.azure_deployment = "small";
  s.api_key = "none";
  s.options.request_timeout = std::chrono::minutes(5);
  return s;
}

llm::AzureOpenAIChat4 ScriptedChatServer::large() const {
  llm::AzureOpenAIChat4 l;
  static_cast<llm::ModelSettings&>(l) = small();
  return l;
}

Json shop_answer(const std::string& record, const std::string& code) {
  if (record.empty()) return kShopQuery;  // the query checker: nothing to change
  if (record == "RelevantTablesOutput") {
    return {{"relevant_tables", {"order_items", "orders", "products"}}};
  }
  if (record == "RewriteQueryOutput") return {{"rewritten_question", "Best sellers?"}};
  if (record == "SQLQueryInput") return {{"sql_query", kShopQuery}};
  if (record == "PythonCodeInput") return {{"code", code}};
  if (record == "GenerationOutput") {
    return {{"image_path", ""}, {"final_response", "House Blend Coffee leads."}};
  }
  return Json::object();
}

namespace {

struct OwnedShop : SampleShop {
  ~OwnedShop() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

}  // namespace

const SampleShop& sample_shop(const std::string& script) {
  static const OwnedShop shop = [&script] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "norvex-bench-shop-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    const std::filesystem::path db = std::filesystem::path(pattern) / "shop.db";
    const std::string command = script + " '" + db.string() + "' > /dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make the sample shop");
    // A prvalue, so no copy of it is destroyed (and the folder removed) on the way.
    return OwnedShop{SampleShop{pattern, "sqlite:///" + db.string()}};
  }();
  return shop;
}

}  // namespace norvex::bench

#include "support/fake_chat_server.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <stdexcept>

namespace norvex::test {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Json usage_json(FakeUsage usage) {
  return {{"prompt_tokens", usage.prompt_tokens},
          {"completion_tokens", usage.completion_tokens},
          {"total_tokens", usage.prompt_tokens + usage.completion_tokens}};
}

Json completion(Json message, const std::string& finish_reason, FakeUsage usage) {
  static std::atomic<int> counter{0};
  return {
      {"id", "chatcmpl-fake-" + std::to_string(++counter)},
      {"object", "chat.completion"},
      {"created", 1700000000},
      {"model", "fake-model"},
      {"choices",
       Json::array(
           {{{"index", 0}, {"message", std::move(message)}, {"finish_reason", finish_reason}}})},
      {"usage", usage_json(usage)}};
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  const auto it = headers.find(lower(name));
  return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::has_header(const std::string& name) const {
  return headers.count(lower(name)) != 0;
}

std::vector<std::pair<std::string, std::string>> RecordedRequest::messages() const {
  std::vector<std::pair<std::string, std::string>> out;
  if (json.is_discarded() || !json.is_object() || !json.contains("messages")) return out;
  for (const auto& m : json["messages"]) {
    out.emplace_back(m.value("role", ""), m.value("content", ""));
  }
  return out;
}

std::string RecordedRequest::last_message() const {
  const auto all = messages();
  return all.empty() ? std::string() : all.back().second;
}

std::string RecordedRequest::requested_record() const {
  if (json.is_discarded() || !json.is_object()) return {};
  const Json tool = json.value("tool_choice", Json::object());
  if (tool.is_object() && tool.contains("function")) {
    return tool["function"].value("name", "");
  }
  const Json format = json.value("response_format", Json::object());
  if (format.is_object() && format.contains("json_schema")) {
    return format["json_schema"].value("name", "");
  }
  return {};
}

FakeChatServer::FakeChatServer() {
  // One request per connection: a client's idle keep-alive connection would otherwise hold
  // the server's shutdown for the whole keep-alive time-out.
  http_.server().set_keep_alive_max_count(1);
  // Separate header and body writes would otherwise wait on delayed ACKs.
  http_.server().set_tcp_nodelay(true);
  http_.server().Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    for (const auto& [name, value] : req.params) r.params[name] = value;
    for (const auto& [name, value] : req.headers) r.headers[lower(name)] = value;
    r.body = req.body;
    r.json = Json::parse(req.body, nullptr, false);
    const ScriptedAnswer answer = answer_for(r);
    if (answer.delay.count() > 0) {
      // Interruptible, so that stopping the server never waits out a long scripted delay.
      std::unique_lock lock(mutex_);
      stopping_cv_.wait_for(lock, answer.delay, [this] { return stopping_; });
    }
    res.status = answer.status;
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    res.set_content(answer.body, "application/json");
  });
  http_.start();
}

FakeChatServer::~FakeChatServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopping_cv_.notify_all();
  http_.stop();
}

ScriptedAnswer FakeChatServer::answer_for(const RecordedRequest& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    if (!queue_.empty()) {
      ScriptedAnswer next = std::move(queue_.front());
      queue_.pop_front();
      return next;
    }
    handler = handler_;
  }
  if (handler) return handler(request);
  return error(500, "the fake chat server has no scripted answer for this request",
               "script_exhausted");
}

FakeChatServer& FakeChatServer::push(ScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(answer));
  return *this;
}

void FakeChatServer::on_request(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<RecordedRequest> FakeChatServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t FakeChatServer::request_count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

RecordedRequest FakeChatServer::last_request() const {
  std::lock_guard lock(mutex_);
  if (requests_.empty()) throw std::logic_error("the fake chat server has had no request");
  return requests_.back();
}

void FakeChatServer::reset() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  queue_.clear();
  handler_ = nullptr;
}

ScriptedAnswer FakeChatServer::text(const std::string& content, FakeUsage usage) {
  return {200, completion({{"role", "assistant"}, {"content", content}}, "stop", usage).dump()};
}

ScriptedAnswer FakeChatServer::tool_call(const std::string& function, const Json& arguments,
                                         FakeUsage usage) {
  return tool_call_raw(function, arguments.dump(), usage);
}

ScriptedAnswer FakeChatServer::tool_call_raw(const std::string& function,
                                             const std::string& arguments_text, FakeUsage usage) {
  Json call = {{"id", "call_fake"},
               {"type", "function"},
               {"function", {{"name", function}, {"arguments", arguments_text}}}};
  Json message = {{"role", "assistant"}, {"content", nullptr}, {"tool_calls", Json::array({call})}};
  return {200, completion(std::move(message), "tool_calls", usage).dump()};
}

ScriptedAnswer FakeChatServer::json_text(const Json& value, FakeUsage usage) {
  return text(value.dump(), usage);
}

ScriptedAnswer FakeChatServer::record(const RecordedRequest& request, const Json& fields,
                                      FakeUsage usage) {
  const bool tools = request.json.is_object() && request.json.contains("tools");
  return tools ? tool_call(request.requested_record(), fields, usage) : json_text(fields, usage);
}

ScriptedAnswer FakeChatServer::error(int status, const std::string& message,
                                     const std::string& code) {
  return {status, Json{{"error", {{"code", code}, {"message", message}}}}.dump()};
}

ScriptedAnswer FakeChatServer::rate_limited(int seconds, const std::string& message) {
  return error(429, message, "429").with_header("Retry-After", std::to_string(seconds));
}

ScriptedAnswer FakeChatServer::raw(int status, std::string body) {
  return {status, std::move(body)};
}

}  // namespace norvex::test

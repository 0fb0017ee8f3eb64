// The HTTP service: routing, authentication, admission (per-token limits and a bounded queue),
// running questions with per-step events, charts by id, health and metrics.
#include <httplib.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "norvex/base/output.hpp"
#include "norvex/error.hpp"
#include "norvex/graph/drawable_graph.hpp"
#include "norvex/http/client.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/python/analysis.hpp"
#include "norvex/python/sandbox.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/query_flow/step_meter.hpp"
#include "norvex/serve/serve.hpp"
#include "norvex/sql/database.hpp"
#include "norvex/sql/row_parser.hpp"
#include "serve_internal.hpp"

namespace norvex::serve {

using Json = nlohmann::ordered_json;

namespace {

constexpr const char* kJsonType = "application/json";
constexpr const char* kEventStreamType = "text/event-stream";
constexpr const char* kUnauthorised = "missing or invalid bearer token";
constexpr const char* kDraining = "the service is shutting down";
constexpr const char* kBusy = "too many questions are waiting; try again shortly";
constexpr const char* kTokenBusy = "this token has too many questions in flight";
constexpr std::size_t kChartsKept = 10'000;
constexpr std::size_t kOtherRequestThreads = 8;

// Per-request facts for the access log; a request is served start to finish on one thread.
struct RequestContext {
  std::chrono::steady_clock::time_point start{};
  std::string token_name = "-";
};
thread_local RequestContext request_context;

std::string state_text(const Json& state, const char* field) {
  const auto it = state.find(field);
  return it == state.end() ? std::string() : query_flow::newest_text(*it);
}

Json cell_value(const std::string& text, sql::CellKind kind) {
  switch (kind) {
    case sql::CellKind::null:
      return nullptr;
    case sql::CellKind::boolean:
      return text == "True";
    case sql::CellKind::number: {
      try {
        std::size_t used = 0;
        if (text.find_first_of(".eEn") == std::string::npos) {
          const long long value = std::stoll(text, &used);
          if (used == text.size()) return value;
        }
        const double value = std::stod(text, &used);
        if (used == text.size() && std::isfinite(value)) return value;
      } catch (const std::exception&) {
      }
      return text;
    }
    default:
      return text;
  }
}

// The rows as columns and rows of JSON values; the raw text when it does not read back.
void put_rows(Json& out, const std::string& text) {
  const auto parsed = sql::parse_python_rows(text);
  if (!parsed) {
    out["columns"] = Json::array();
    out["rows"] = Json::array();
    out["rows_text"] = text;
    return;
  }
  out["columns"] = parsed->columns;
  Json rows = Json::array();
  for (std::size_t r = 0; r < parsed->rows.size(); ++r) {
    Json row = Json::array();
    for (std::size_t c = 0; c < parsed->rows[r].size(); ++c) {
      const auto kind = r < parsed->kinds.size() && c < parsed->kinds[r].size()
                            ? parsed->kinds[r][c]
                            : sql::CellKind::text;
      row.push_back(cell_value(parsed->rows[r][c], kind));
    }
    rows.push_back(std::move(row));
  }
  out["rows"] = std::move(rows);
  out["rows_left_out"] = parsed->rows_left_out;
}

Json error_body(std::string_view code, std::string_view message) {
  return Json{{"error", {{"code", code}, {"message", message}}}};
}

void send_error(httplib::Response& res, int status, std::string_view code,
                std::string_view message) {
  res.status = status;
  res.set_content(error_body(code, message).dump(), kJsonType);
}

std::string random_hex(std::size_t bytes) {
  static thread_local std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes; ++i) {
    const auto b = static_cast<unsigned>(device()) & 0xffU;
    out += kHex[b >> 4];
    out += kHex[b & 0xfU];
  }
  return out;
}

// Request texts in the log keep to one line: control characters are written as \xNN.
std::string loggable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

bool is_chart_id(std::string_view id) {
  return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// What a failed question tells the client: status, code and message.
struct Failure {
  int status;
  std::string code;
  std::string message;
};

Failure failure_of(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const ChatServiceError& e) {
    return {502, "model_failed", std::string("the chat model failed: ") + e.what()};
  } catch (const DatabaseError& e) {
    return {503, "database_unavailable", std::string("the database failed: ") + e.what()};
  } catch (const RecursionLimitError& e) {
    return {422, "not_answered", std::string("no answer was found: ") + e.what()};
  } catch (const std::exception& e) {
    return {500, "question_failed", e.what()};
  } catch (...) {
    return {500, "question_failed", "unknown failure"};
  }
}

// Records each finished step with its time and the tokens of the model calls it made.
class StepRecorder {
 public:
  using Sink = std::function<void(const Json&)>;
  StepRecorder(detail::Metrics& metrics, Sink sink)
      : metrics_(metrics),
        sink_(std::move(sink)),
        meter_([this](const query_flow::StepReport& step) { on_step(step); }) {}

  graph::Observer observer() { return meter_.observer(); }
  [[nodiscard]] llm::Usage usage() const noexcept { return meter_.usage(); }
  Json steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }

 private:
  void on_step(const query_flow::StepReport& step_report) {
    metrics_.observe_step(step_report.node, step_report.duration);
    const llm::Usage& usage = step_report.usage;
    Json step = {{"node", step_report.node},
                 {"seconds", std::chrono::duration<double>(step_report.duration).count()},
                 {"tokens", usage.prompt_tokens + usage.completion_tokens},
                 {"prompt_tokens", usage.prompt_tokens},
                 {"completion_tokens", usage.completion_tokens},
                 {"failed", step_report.failed}};
    std::lock_guard lock(mutex_);
    steps_.push_back(step);
    if (sink_) sink_(step);
  }

  detail::Metrics& metrics_;
  Sink sink_;
  mutable std::mutex mutex_;
  Json steps_ = Json::array();
  query_flow::StepMeter meter_;
};

}  // namespace

SandboxMode parse_sandbox_mode(std::string_view text) {
  if (text == "strict") return SandboxMode::strict;
  if (text == "relaxed") return SandboxMode::relaxed;
  throw ArgumentError("unknown sandbox mode '" + std::string(text) + "' (strict or relaxed)");
}

std::string_view to_string(SandboxMode mode) noexcept {
  return mode == SandboxMode::strict ? "strict" : "relaxed";
}

// The one place where the service chooses how analysis code runs: always in the confined
// fork server; strict refuses a run unless every sandbox layer applies (Server::start makes
// that the rule of the whole process, since the pipeline runs analyses with its defaults).
python::AnalysisOptions analysis_options_for(SandboxMode mode) {
  python::AnalysisOptions options;
  options.isolated = true;
  options.strict_sandbox = mode == SandboxMode::strict;
  return options;
}

bool is_loopback_host(std::string_view host) noexcept {
  try {
    return http::is_loopback_host(host);
  } catch (...) {  // out of memory: not known to be loopback
    return false;
  }
}

struct Server::Impl {
  Impl(std::vector<Database> dbs, Options o) : options(std::move(o)), databases(std::move(dbs)) {}

  Options options;
  std::vector<Database> databases;
  std::map<std::string, std::size_t, std::less<>> by_name;
  httplib::Server http;
  std::thread listener;
  // Waits for the analysis fork server to get ready, so /readyz can say it is warm.
  std::thread warmer;
  std::atomic<bool> analysis_warm{false};
  int bound_port = 0;
  int listen_fd = -1;
  bool started = false;
  bool stopped = false;
  detail::Metrics metrics;

  // Admission: questions running and waiting, per token, and the drain flag.
  mutable std::mutex admission_mutex;
  std::condition_variable admission_cv;
  std::size_t running = 0;
  std::size_t waiting = 0;
  std::map<std::string, std::size_t> per_token;
  bool draining = false;

  // Charts by id: only paths the service itself registered are ever opened.
  std::mutex charts_mutex;
  std::unordered_map<std::string, std::filesystem::path> charts;
  std::deque<std::string> chart_order;

  std::mutex graph_mutex;
  std::map<std::string, std::string> graph_cache;

  void log(std::string_view line) const {
    if (options.log) {
      options.log(line);
    } else {
      base::print_line(line, base::Stream::err);  // whole lines, whichever thread logs
    }
  }

  // --- authentication -------------------------------------------------------------------

  // The token of the request (null when the service runs without tokens); false after
  // answering 401.
  bool authorise(const httplib::Request& req, httplib::Response& res, const Token*& token) {
    token = nullptr;
    if (options.tokens.empty()) return true;
    const std::string header = req.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (header.size() > kBearer.size() && header.compare(0, kBearer.size(), kBearer) == 0) {
      token = detail::find_token(options.tokens, std::string_view(header).substr(kBearer.size()));
    }
    if (token == nullptr) {
      res.set_header("WWW-Authenticate", "Bearer");
      send_error(res, 401, "unauthorised", kUnauthorised);
      return false;
    }
    request_context.token_name = token->name;
    return true;
  }

  static bool allowed(const Token* token, std::string_view database) {
    return token == nullptr || token->allows(database);
  }

  // --- admission ------------------------------------------------------------------------

  // A slot for one question; released when destroyed.
  class Ticket {
   public:
    Ticket(Impl& impl, std::string token) : impl_(&impl), token_(std::move(token)) {}
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() {
      std::lock_guard lock(impl_->admission_mutex);
      if (running_) --impl_->running;
      if (--impl_->per_token[token_] == 0) impl_->per_token.erase(token_);
      impl_->admission_cv.notify_all();
    }
    // Waits for a worker; the question runs once this returns.
    void wait_for_worker() {
      std::unique_lock lock(impl_->admission_mutex);
      impl_->admission_cv.wait(lock, [&] { return impl_->running < impl_->options.workers; });
      --impl_->waiting;
      ++impl_->running;
      running_ = true;
    }

   private:
    Impl* impl_;
    std::string token_;
    bool running_ = false;
  };

  // A ticket, or null after answering 429/503.
  std::shared_ptr<Ticket> admit(const Token* token, httplib::Response& res) {
    const std::string key = token == nullptr ? std::string() : token->name;
    std::lock_guard lock(admission_mutex);
    const auto retry = std::to_string(options.retry_after.count());
    if (draining) {
      res.set_header("Retry-After", retry);
      send_error(res, 503, "shutting_down", kDraining);
      return nullptr;
    }
    // Without tokens there is no one to share fairly between: the queue alone bounds the load.
    if (token != nullptr && per_token[key] >= options.per_token_limit) {
      res.set_header("Retry-After", retry);
      send_error(res, 429, "too_many_requests", kTokenBusy);
      return nullptr;
    }
    if (running >= options.workers && waiting >= options.queue_limit) {
      res.set_header("Retry-After", retry);
      send_error(res, 503, "busy", kBusy);
      return nullptr;
    }
    ++per_token[key];
    ++waiting;
    return std::make_shared<Ticket>(*this, key);
  }

  // --- questions ------------------------------------------------------------------------

  struct Question {
    std::string id;
    std::string text;
    const Database* database = nullptr;
  };

  // Validates the request; answers it and returns nothing when it is refused.
  std::optional<Question> read_question(const httplib::Request& req, httplib::Response& res,
                                        const Token* token) {
    const auto refuse = [&](int status, std::string_view code, std::string_view message) {
      metrics.count_question("refused");
      send_error(res, status, code, message);
      return std::nullopt;
    };
    const Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
      return refuse(400, "bad_request", "the body must be a JSON object");
    }
    const auto q = body.find("question");
    if (q == body.end() || !q->is_string()) {
      return refuse(400, "bad_request", "\"question\" must be a text");
    }
    Question question;
    question.text = q->get<std::string>();
    if (question.text.find_first_not_of(" \t\r\n") == std::string::npos) {
      return refuse(400, "bad_request", "the question is empty");
    }
    if (question.text.size() > options.max_question_chars) {
      return refuse(
          413, "question_too_long",
          "the question is longer than " + std::to_string(options.max_question_chars) + " bytes");
    }
    std::string name;
    const auto d = body.find("database");
    if (d != body.end() && !d->is_null()) {
      if (!d->is_string()) return refuse(400, "bad_request", "\"database\" must be a text");
      name = d->get<std::string>();
    } else if (databases.size() == 1) {
      name = databases.front().name;
    } else {
      return refuse(400, "bad_request", "name the \"database\" to ask about");
    }
    // The same answer whether or not the database exists, so a token learns nothing of
    // databases it may not use.
    if (!allowed(token, name)) {
      return refuse(403, "forbidden", "this token may not use the database '" + name + "'");
    }
    const auto it = by_name.find(name);
    if (it == by_name.end()) return refuse(404, "unknown_database", "no database '" + name + "'");
    question.database = &databases[it->second];
    if (!question.database->flow && !question.database->fresh_flow) {
      return refuse(503, "model_not_configured", options.no_model_message);
    }
    question.id = random_hex(8);
    return question;
  }

  // Runs the question on the calling thread; `sink` receives each finished step. Returns
  // the result record, or throws what the pipeline threw.
  Json run(const Question& question, const StepRecorder::Sink& sink) {
    StepRecorder recorder(metrics, sink);
    const auto save_path = options.media_dir / ("q-" + question.id);
    std::filesystem::create_directories(save_path);
    const Json inputs = {{"user_question", question.text}, {"save_path", save_path.string()}};
    const auto start = std::chrono::steady_clock::now();
    Json state;
    {
      std::shared_ptr<const query_flow::QueryFlow> flow =
          question.database->fresh_flow ? question.database->fresh_flow() : question.database->flow;
      try {
        state = flow->invoke(inputs, recorder.observer());
      } catch (...) {
        const llm::Usage u = recorder.usage();
        metrics.add_tokens(u.prompt_tokens, u.completion_tokens);
        throw;
      }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const llm::Usage usage = recorder.usage();
    metrics.add_tokens(usage.prompt_tokens, usage.completion_tokens);

    Json out;
    out["id"] = question.id;
    out["database"] = question.database->name;
    out["question"] = question.text;
    out["answer"] = state_text(state, "final_response");
    out["sql"] = state_text(state, "generated_sql_query");
    put_rows(out, state_text(state, "sql_execution_result"));
    out["analysis_code"] = state_text(state, "pandas_code");
    out["analysis_output"] = state_text(state, "python_executed_output");
    const auto chart = register_chart(state_text(state, "image_path"), save_path);
    out["chart_url"] = chart ? Json("/v1/charts/" + *chart) : Json(nullptr);
    out["seconds"] = seconds;
    out["tokens"] = {{"calls", usage.calls},
                     {"prompt", usage.prompt_tokens},
                     {"completion", usage.completion_tokens},
                     {"total", usage.prompt_tokens + usage.completion_tokens}};
    out["steps"] = recorder.steps();
    return out;
  }

  // The chart the run saved, given an id; only files inside the question's own folder count.
  std::optional<std::string> register_chart(const std::string& reported,
                                            const std::filesystem::path& folder) {
    std::error_code ec;
    const auto base = std::filesystem::weakly_canonical(folder, ec);
    std::optional<std::filesystem::path> found;
    const auto inside = [&](const std::filesystem::path& p) {
      std::error_code e;
      const auto real = std::filesystem::weakly_canonical(p, e);
      if (e || !std::filesystem::is_regular_file(real, e)) return false;
      const auto rel = real.lexically_relative(base);
      return !rel.empty() && *rel.begin() != "..";
    };
    if (!reported.empty() && inside(reported)) {
      found = std::filesystem::weakly_canonical(reported, ec);
    } else {
      for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".png" && inside(entry.path())) {
          found = std::filesystem::weakly_canonical(entry.path(), ec);
          break;
        }
      }
    }
    if (!found) return std::nullopt;
    const std::string id = random_hex(16);
    std::lock_guard lock(charts_mutex);
    charts.emplace(id, *found);
    chart_order.push_back(id);
    if (chart_order.size() > kChartsKept) {
      charts.erase(chart_order.front());
      chart_order.pop_front();
    }
    return id;
  }

  void handle_question(const httplib::Request& req, httplib::Response& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    auto question = read_question(req, res, token);
    if (!question) return;
    auto ticket = admit(token, res);
    if (!ticket) {
      metrics.count_question("rejected");
      return;
    }
    if (options.log_questions) {
      log("question " + question->id + " token=" + request_context.token_name +
          " database=" + question->database->name + ": " + loggable(question->text));
    }
    const bool stream = req.get_header_value("Accept").find(kEventStreamType) != std::string::npos;
    if (!stream) {
      ticket->wait_for_worker();
      try {
        const Json result = run(*question, {});
        metrics.count_question("answered");
        res.set_content(result.dump(), kJsonType);
      } catch (...) {
        metrics.count_question("failed");
        const Failure f = failure_of(std::current_exception());
        send_error(res, f.status, f.code, f.message);
      }
      return;
    }
    // The stream is written after this handler returns, on this same thread; the ticket
    // lives until the stream ends.
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        kEventStreamType,
        [this, question = std::move(*question), ticket](std::size_t, httplib::DataSink& sink) {
          std::mutex write_mutex;
          bool open = true;
          const auto send = [&](std::string_view event, const Json& data) {
            std::lock_guard lock(write_mutex);
            if (!open) return;
            const std::string text =
                "event: " + std::string(event) + "\ndata: " + data.dump() + "\n\n";
            open = sink.write(text.data(), text.size());
          };
          ticket->wait_for_worker();
          try {
            const Json result = run(question, [&](const Json& step) { send("step", step); });
            metrics.count_question("answered");
            send("result", result);
          } catch (...) {
            metrics.count_question("failed");
            const Failure f = failure_of(std::current_exception());
            Json body = error_body(f.code, f.message);
            body["status"] = f.status;
            send("error", body);
          }
          sink.done();
          return true;
        },
        [ticket](bool) {});
  }

  // --- the other endpoints --------------------------------------------------------------

  void handle_databases(const httplib::Request& req, httplib::Response& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    Json list = Json::array();
    for (const auto& d : databases) {
      if (!allowed(token, d.name)) continue;
      list.push_back({{"name", d.name},
                      {"dialect", d.db->dialect()},
                      {"model_configured", d.flow != nullptr || bool(d.fresh_flow)}});
    }
    res.set_content(Json{{"databases", list}}.dump(), kJsonType);
  }

  void handle_tables(const httplib::Request& req, httplib::Response& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    const std::string name = req.matches[1];
    if (!allowed(token, name)) {
      return send_error(res, 403, "forbidden",
                        "this token may not use the database '" + name + "'");
    }
    const auto it = by_name.find(name);
    if (it == by_name.end())
      return send_error(res, 404, "unknown_database", "no database '" + name + "'");
    try {
      const auto tables = databases[it->second].db->get_usable_table_names();
      res.set_content(Json{{"database", name}, {"tables", tables}}.dump(), kJsonType);
    } catch (const std::exception& e) {
      send_error(res, 503, "database_unavailable", std::string("the database failed: ") + e.what());
    }
  }

  void handle_graph(const httplib::Request& req, httplib::Response& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    const std::string format = req.has_param("format") ? req.get_param_value("format") : "text";
    if (format != "text" && format != "mermaid" && format != "png") {
      return send_error(res, 400, "bad_request", "format must be text, mermaid or png");
    }
    const query_flow::QueryFlow* flow = nullptr;
    std::shared_ptr<const query_flow::QueryFlow> keep;
    for (const auto& d : databases) {
      keep = d.flow ? d.flow : (d.fresh_flow ? d.fresh_flow() : nullptr);
      if (keep) break;
    }
    flow = keep.get();
    if (flow == nullptr) {
      return send_error(res, 503, "model_not_configured", options.no_model_message);
    }
    std::lock_guard lock(graph_mutex);
    auto cached = graph_cache.find(format);
    if (cached == graph_cache.end()) {
      try {
        const auto drawing = flow->compiled_graph().get_graph();
        // PNG is drawn locally (Graphviz): the service never reaches another machine.
        const std::string body = format == "text" ? drawing.draw_ascii()
                                 : format == "mermaid"
                                     ? drawing.draw_mermaid()
                                     : drawing.draw_mermaid_png(graph::MermaidDrawMethod::LOCAL);
        cached = graph_cache.emplace(format, body).first;
      } catch (const std::exception& e) {
        return send_error(res, 500, "drawing_failed", e.what());
      }
    }
    res.set_content(cached->second, format == "png" ? "image/png" : "text/plain; charset=utf-8");
  }

  void handle_chart(const httplib::Request& req, httplib::Response& res) {
    const std::string id = req.matches[1];
    std::filesystem::path path;
    {
      std::lock_guard lock(charts_mutex);
      const auto it = is_chart_id(id) ? charts.find(id) : charts.end();
      if (it == charts.end()) return send_error(res, 404, "not_found", "no such chart");
      path = it->second;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return send_error(res, 404, "not_found", "no such chart");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    res.set_header("Cache-Control", "private, max-age=3600");
    res.set_content(bytes.str(), "image/png");
  }

  void handle_ready(httplib::Response& res) {
    bool ready = true;
    Json dbs = Json::array();
    for (const auto& d : databases) {
      Json entry = {{"name", d.name}};
      try {
        (void)d.db->get_usable_table_names();
        entry["reachable"] = true;
      } catch (const std::exception& e) {
        entry["reachable"] = false;
        entry["error"] = e.what();
        ready = false;
      }
      const bool model = d.flow != nullptr || bool(d.fresh_flow);
      entry["model_configured"] = model;
      ready = ready && model;
      dbs.push_back(std::move(entry));
    }
    const bool accepting = [&] {
      std::lock_guard lock(admission_mutex);
      return !draining;
    }();
    ready = ready && accepting;
    const auto layers = python::sandbox_layers();
    const bool warm = analysis_warm.load();
    const bool confined = layers.complete() || options.sandbox == SandboxMode::relaxed;
    ready = ready && warm && confined;
    const Json body = {{"ready", ready},
                       {"accepting", accepting},
                       {"databases", dbs},
                       {"analysis",
                        {{"sandbox", to_string(options.sandbox)},
                         {"isolated", analysis_options_for(options.sandbox).isolated},
                         {"confined", layers.complete()},
                         {"layers", python::describe_sandbox_layers(layers.available)},
                         {"guarantees", python::describe_sandbox_guarantees(layers.available)},
                         {"warm", warm}}}};
    res.status = ready ? 200 : 503;
    res.set_content(body.dump(), kJsonType);
  }

  void handle_metrics(const httplib::Request& req, httplib::Response& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    std::ostringstream out;
    out << metrics.render();
    {
      std::lock_guard lock(admission_mutex);
      out << "# HELP norvex_questions_running Questions being answered now.\n"
             "# TYPE norvex_questions_running gauge\nnorvex_questions_running "
          << running << "\n# HELP norvex_questions_waiting Questions waiting for a worker.\n"
          << "# TYPE norvex_questions_waiting gauge\nnorvex_questions_waiting " << waiting
          << "\n# HELP norvex_workers Questions that may run at once.\n"
          << "# TYPE norvex_workers gauge\nnorvex_workers " << options.workers << '\n';
    }
    out << "# HELP norvex_db_pool_connections Database connections by state.\n"
           "# TYPE norvex_db_pool_connections gauge\n";
    for (const auto& d : databases) {
      const auto pool = d.db->pool_status();
      out << "norvex_db_pool_connections{database=\"" << d.name << "\",state=\"open\"} "
          << pool.open << '\n'
          << "norvex_db_pool_connections{database=\"" << d.name << "\",state=\"in_use\"} "
          << pool.in_use << '\n'
          << "norvex_db_pool_connections{database=\"" << d.name << "\",state=\"capacity\"} "
          << pool.capacity << '\n';
    }
    const auto pool = python::analysis_pool_status();
    out << "# HELP norvex_analysis_runs Analysis runs by state.\n"
           "# TYPE norvex_analysis_runs gauge\n"
        << "norvex_analysis_runs{state=\"running\"} " << pool.running << '\n'
        << "norvex_analysis_runs{state=\"waiting\"} " << pool.waiting << '\n'
        << "norvex_analysis_runs{state=\"capacity\"} " << pool.max_runs << '\n';
    out << "# HELP norvex_sandbox_layers_active Confinement layers active for analysis runs.\n"
           "# TYPE norvex_sandbox_layers_active gauge\nnorvex_sandbox_layers_active "
        << std::popcount(python::sandbox_layers().available)
        << "\n# HELP norvex_sandbox_guarantees_met 1 when every guarantee of analysis runs holds.\n"
           "# TYPE norvex_sandbox_guarantees_met gauge\nnorvex_sandbox_guarantees_met "
        << (python::sandbox_layers().complete() ? 1 : 0)
        << "\n"
           "# HELP norvex_sandbox_mode The analysis sandbox mode asked for.\n"
           "# TYPE norvex_sandbox_mode gauge\nnorvex_sandbox_mode{mode=\""
        << to_string(options.sandbox) << "\"} 1\n";
    res.set_content(out.str(), "text/plain; version=0.0.4; charset=utf-8");
  }

  void routes() {
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
                     "script-src 'self' 'unsafe-inline'; connect-src 'self'");
      res.set_content(std::string(detail::kIndexHtml), "text/html; charset=utf-8");
    });
    http.Get("/healthz", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("ok\n", "text/plain");
    });
    http.Get("/readyz",
             [this](const httplib::Request&, httplib::Response& res) { handle_ready(res); });
    http.Get("/metrics",
             [this](const httplib::Request& q, httplib::Response& r) { handle_metrics(q, r); });
    http.Get("/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(detail::kOpenApiJson), kJsonType);
    });
    http.Get("/v1/databases",
             [this](const httplib::Request& q, httplib::Response& r) { handle_databases(q, r); });
    http.Get(R"(/v1/databases/([^/]+)/tables)",
             [this](const httplib::Request& q, httplib::Response& r) { handle_tables(q, r); });
    http.Get("/v1/graph",
             [this](const httplib::Request& q, httplib::Response& r) { handle_graph(q, r); });
    http.Get(R"(/v1/charts/(.*))",
             [this](const httplib::Request& q, httplib::Response& r) { handle_chart(q, r); });
    http.Post("/v1/questions",
              [this](const httplib::Request& q, httplib::Response& r) { handle_question(q, r); });
    if (options.cors_origin) {
      http.Options(R"(/v1/.*)", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
        res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type, Accept");
        res.status = 204;
      });
    }
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (!res.body.empty()) return;
      const char* code = res.status == 404   ? "not_found"
                         : res.status == 413 ? "payload_too_large"
                                             : "error";
      const char* message = res.status == 404   ? "no such endpoint"
                            : res.status == 413 ? "the request body is too large"
                                                : "the request failed";
      send_error(res, res.status, code, message);
    });
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
          const Failure f = failure_of(error);
          send_error(res, 500, "internal_error", f.message);
        });
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      request_context = RequestContext{std::chrono::steady_clock::now(), "-"};
      if (options.cors_origin && req.get_header_value("Origin") == *options.cors_origin) {
        res.set_header("Access-Control-Allow-Origin", *options.cors_origin);
        res.set_header("Vary", "Origin");
      }
      res.set_header("X-Content-Type-Options", "nosniff");
      return httplib::Server::HandlerResponse::Unhandled;
    });
    http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
      metrics.count_request(res.status);
      const auto start = request_context.start;
      const double ms =
          start == std::chrono::steady_clock::time_point{}
              ? 0.0
              : std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
      char duration[32];
      std::snprintf(duration, sizeof duration, "%.1fms", ms);
      // Only the path: query strings and headers (where tokens travel) are never logged.
      log("access " + loggable(req.method) + " " + loggable(req.path) + " " +
          std::to_string(res.status) + " " + duration + " token=" + request_context.token_name);
      request_context = RequestContext{};
    });
  }
};

Server::Server(std::vector<Database> databases, Options options)
    : impl_(std::make_unique<Impl>(std::move(databases), std::move(options))) {
  auto& o = impl_->options;
  if (impl_->databases.empty()) throw ArgumentError("the service needs at least one database");
  static const std::regex kName("[A-Za-z0-9_.-]+");
  for (std::size_t i = 0; i < impl_->databases.size(); ++i) {
    const auto& d = impl_->databases[i];
    if (!std::regex_match(d.name, kName)) {
      throw ArgumentError("the database name '" + d.name +
                          "' may hold only letters, digits, '_', '.' and '-'");
    }
    if (!d.db) throw ArgumentError("the database '" + d.name + "' has no facade");
    if (!impl_->by_name.emplace(d.name, i).second) {
      throw ArgumentError("the database name '" + d.name + "' is used twice");
    }
  }
  if (!is_loopback_host(o.host) && o.tokens.empty()) {
    throw ArgumentError("listening on " + o.host +
                        " (not a loopback address) needs bearer tokens: give --tokens FILE");
  }
  if (o.workers == 0 || o.per_token_limit == 0 || o.max_body_bytes == 0 ||
      o.max_question_chars == 0) {
    throw ArgumentError("the service's limits must be positive");
  }
  const std::size_t threads = o.workers + o.queue_limit + kOtherRequestThreads;
  impl_->http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  impl_->http.set_payload_max_length(o.max_body_bytes);
  impl_->http.set_read_timeout(o.read_timeout);
  impl_->http.set_write_timeout(o.write_timeout);
  impl_->http.set_keep_alive_timeout(2);
  impl_->http.set_socket_options([impl = impl_.get()](socket_t sock) {
    httplib::default_socket_options(sock);
    impl->listen_fd = sock;
  });
  impl_->routes();
}

Server::~Server() {
  if (impl_->started && !impl_->stopped) shutdown(std::chrono::seconds(30));
  if (impl_->listener.joinable()) impl_->listener.join();
  if (impl_->warmer.joinable()) impl_->warmer.join();
}

void Server::start() {
  if (impl_->started) throw Error("the service is already started");
  auto& o = impl_->options;
  const std::string host = o.host == "localhost" ? "127.0.0.1" : o.host;
  int port = o.port;
  if (port == 0) {
    port = impl_->http.bind_to_any_port(host);
  } else if (!impl_->http.bind_to_port(host, port)) {
    port = -1;
  }
  if (port < 0) {
    throw Error("cannot listen on " + o.host + ":" + std::to_string(o.port) +
                " (address in use or not available)");
  }
  // The library listens with a queue of 5 connections; a burst of clients overflows it and
  // some of their connections are reset mid-request. Widen it to the system's limit.
  if (impl_->listen_fd >= 0) ::listen(impl_->listen_fd, SOMAXCONN);
  impl_->bound_port = port;
  impl_->started = true;
  // Analysis code of every question runs under the sandbox the service asks for: strict
  // (the default) makes full confinement the rule of this process. The fork server warms up
  // meanwhile; a failure to start shows at /readyz and in the first question's answer.
  if (o.sandbox == SandboxMode::strict) python::require_strict_sandbox();
  impl_->warmer = std::thread([impl = impl_.get()] {
    try {
      python::prewarm_analysis();
      impl->analysis_warm = true;
    } catch (const std::exception&) {
    }
  });
  impl_->listener = std::thread([this] { impl_->http.listen_after_bind(); });
  while (!impl_->http.is_running()) std::this_thread::yield();
}

int Server::port() const noexcept {
  return impl_->bound_port;
}

std::size_t Server::questions_in_flight() const noexcept {
  std::lock_guard lock(impl_->admission_mutex);
  return impl_->running + impl_->waiting;
}

bool Server::shutdown(std::chrono::milliseconds grace) {
  if (!impl_->started || impl_->stopped) return true;
  impl_->stopped = true;
  {
    std::lock_guard lock(impl_->admission_mutex);
    impl_->draining = true;
  }
  // No new connections; connections in progress finish their current request.
  impl_->http.stop();
  std::unique_lock lock(impl_->admission_mutex);
  const bool drained = impl_->admission_cv.wait_for(
      lock, grace, [&] { return impl_->running == 0 && impl_->waiting == 0; });
  lock.unlock();
  if (drained && impl_->listener.joinable()) impl_->listener.join();
  return drained;
}

}  // namespace norvex::serve

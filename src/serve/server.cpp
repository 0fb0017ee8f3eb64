// The HTTP service: routing, authentication, admission (per-token limits and a bounded queue),
// running questions with per-step events, charts by id, health and metrics.
#include <arpa/inet.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "norvex/base/output.hpp"
#include "norvex/base/text.hpp"
#include "norvex/error.hpp"
#include "norvex/graph/drawable_graph.hpp"
#include "norvex/http/client.hpp"
#include "norvex/http/server.hpp"
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
  std::string id;
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

// The one way JSON leaves the service: any invalid UTF-8 in a text (a model's error page in
// Latin-1, a path's bytes, a cut excerpt) becomes U+FFFD instead of failing the answer.
std::string json_text(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json error_body(std::string_view code, std::string_view message) {
  return Json{{"error", {{"code", code}, {"message", message}}}};
}

void send_error(http::ServerResponse& res, int status, std::string_view code,
                std::string_view message) {
  res.set_content(status, json_text(error_body(code, message)), kJsonType);
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

// Texts in the log are printable ASCII: every other byte (line breaks, bidirectional and
// terminal controls, any UTF-8) is written as \xNN, and so is a backslash; spaces too where a
// space would start a field of its own.
std::string loggable(std::string_view text, bool escape_spaces = false) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f || c == '\\' || (escape_spaces && c == ' ')) {
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

// The client of a streamed question went away: the question stops at its next step.
class QuestionCancelled : public std::runtime_error {
 public:
  QuestionCancelled() : std::runtime_error("the client went away") {}
};

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
  } catch (const QuestionCancelled& e) {
    return {499, "cancelled", e.what()};
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
  std::unique_ptr<http::Server> http;
  // Waits for the analysis fork server to get ready, so /readyz can say it is warm.
  std::thread warmer;
  std::atomic<bool> analysis_warm{false};
  int bound_port = 0;
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
  std::chrono::steady_clock::time_point next_sweep{};

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
  bool authorise(const http::ServerRequest& req, http::ServerResponse& res, const Token*& token) {
    token = nullptr;
    if (options.tokens.empty()) return true;
    const std::string header(req.header("Authorization").value_or(""));
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
  std::shared_ptr<Ticket> admit(const Token* token, http::ServerResponse& res) {
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
  std::optional<Question> read_question(const http::ServerRequest& req, http::ServerResponse& res,
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
  Json run(const Question& question, const StepRecorder::Sink& sink,
           const std::function<bool()>& client_gone) {
    sweep_media();
    StepRecorder recorder(metrics, sink);
    graph::Observer observer = recorder.observer();
    if (client_gone) {
      // Checked as each step starts: a question nobody waits for stops there.
      observer = [inner = std::move(observer), &client_gone](const graph::NodeEvent& event) {
        if (event.kind == graph::NodeEvent::Kind::start && client_gone()) {
          throw QuestionCancelled();
        }
        inner(event);
      };
    }
    const auto save_path = options.media_dir / ("q-" + question.id);
    std::filesystem::create_directories(save_path);
    const Json inputs = {{"user_question", question.text}, {"save_path", save_path.string()}};
    const auto start = std::chrono::steady_clock::now();
    Json state;
    {
      std::shared_ptr<const query_flow::QueryFlow> flow =
          question.database->fresh_flow ? question.database->fresh_flow() : question.database->flow;
      try {
        state = flow->invoke(inputs, observer);
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

  // Removes question folders older than media_ttl (and forgets their charts); runs at most
  // once a minute, from whichever question starts.
  void sweep_media() {
    const auto now = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(charts_mutex);
      if (now < next_sweep) return;
      next_sweep = now + std::min<std::chrono::steady_clock::duration>(options.media_ttl,
                                                                       std::chrono::minutes(1));
    }
    const auto cutoff = std::filesystem::file_time_type::clock::now() - options.media_ttl;
    std::error_code ec;
    std::vector<std::filesystem::path> old;
    for (const auto& entry : std::filesystem::directory_iterator(options.media_dir, ec)) {
      const auto name = entry.path().filename().string();
      std::error_code e;
      if (name.starts_with("q-") && entry.is_directory(e) && entry.last_write_time(e) < cutoff &&
          !e) {
        old.push_back(entry.path());
      }
    }
    for (const auto& folder : old) {
      {
        std::lock_guard lock(charts_mutex);
        std::erase_if(charts, [&](const auto& chart) {
          const auto rel = chart.second.lexically_relative(folder);
          return !rel.empty() && *rel.begin() != "..";
        });
      }
      std::filesystem::remove_all(folder, ec);
    }
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

  void handle_question(const http::ServerRequest& req, http::ServerResponse& res) {
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
    const bool stream =
        req.header("Accept").value_or("").find(kEventStreamType) != std::string_view::npos;
    if (!stream) {
      ticket->wait_for_worker();
      try {
        const Json result = run(*question, {}, {});
        metrics.count_question("answered");
        res.set_content(200, json_text(result), kJsonType);
      } catch (...) {
        metrics.count_question("failed");
        const Failure f = failure_of(std::current_exception());
        send_error(res, f.status, f.code, f.message);
      }
      return;
    }
    // The stream is written after this handler returns, on this same thread; the ticket
    // lives until the stream ends. Nothing it calls may escape: a failure becomes an error
    // event, and a client that is gone cancels the question at its next step.
    res.set_header("Cache-Control", "no-store");
    res.content_type = kEventStreamType;
    res.stream = [this, question = std::move(*question), ticket](http::StreamWriter& out) {
      std::mutex write_mutex;
      const auto send = [&](std::string_view event, const Json& data) {
        const std::string text =
            "event: " + std::string(event) + "\ndata: " + json_text(data) + "\n\n";
        std::lock_guard lock(write_mutex);
        (void)out.write(text);
      };
      const auto gone = [&] {
        std::lock_guard lock(write_mutex);
        return out.client_gone();
      };
      ticket->wait_for_worker();
      try {
        const Json result = run(
            question, [&](const Json& step) { send("step", step); }, gone);
        metrics.count_question("answered");
        send("result", result);
      } catch (...) {
        const Failure f = failure_of(std::current_exception());
        metrics.count_question(f.code == "cancelled" ? "cancelled" : "failed");
        Json body = error_body(f.code, f.message);
        body["status"] = f.status;
        send("error", body);
      }
    };
  }

  // --- the other endpoints --------------------------------------------------------------

  void handle_databases(const http::ServerRequest& req, http::ServerResponse& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    Json list = Json::array();
    for (const auto& d : databases) {
      if (!allowed(token, d.name)) continue;
      list.push_back({{"name", d.name},
                      {"dialect", d.db->dialect()},
                      {"model_configured", d.flow != nullptr || bool(d.fresh_flow)}});
    }
    res.set_content(200, json_text(Json{{"databases", list}}), kJsonType);
  }

  void handle_tables(const http::ServerRequest& req, http::ServerResponse& res,
                     const std::string& name) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    if (!allowed(token, name)) {
      return send_error(res, 403, "forbidden",
                        "this token may not use the database '" + name + "'");
    }
    const auto it = by_name.find(name);
    if (it == by_name.end())
      return send_error(res, 404, "unknown_database", "no database '" + name + "'");
    try {
      const auto tables = databases[it->second].db->get_usable_table_names();
      res.set_content(200, json_text(Json{{"database", name}, {"tables", tables}}), kJsonType);
    } catch (const std::exception& e) {
      send_error(res, 503, "database_unavailable", std::string("the database failed: ") + e.what());
    }
  }

  void handle_graph(const http::ServerRequest& req, http::ServerResponse& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    const std::string format = req.param("format").value_or("text");
    if (format != "text" && format != "mermaid" && format != "png") {
      return send_error(res, 400, "bad_request", "format must be text, mermaid or png");
    }
    std::shared_ptr<const query_flow::QueryFlow> keep;
    for (const auto& d : databases) {
      keep = d.flow ? d.flow : (d.fresh_flow ? d.fresh_flow() : nullptr);
      if (keep) break;
    }
    if (keep == nullptr) {
      return send_error(res, 503, "model_not_configured", options.no_model_message);
    }
    std::lock_guard lock(graph_mutex);
    auto cached = graph_cache.find(format);
    if (cached == graph_cache.end()) {
      try {
        const auto drawing = keep->compiled_graph().get_graph();
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
    res.set_content(200, cached->second,
                    format == "png" ? "image/png" : "text/plain; charset=utf-8");
  }

  void handle_chart(http::ServerResponse& res, const std::string& id) {
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
    res.set_content(200, bytes.str(), "image/png");
  }

  // --- probes ---------------------------------------------------------------------------

  // Whether a database answers, asked on a thread of its own so that a stalled connection
  // costs a probe its time-out and never more than one waiting thread per database.
  // The probing thread shares only the probe and the facade, so it may outlive the service.
  struct Probe {
    std::mutex mutex;
    std::condition_variable cv;
    bool running = false;
    std::uint64_t finished = 0;  // probes completed
    bool reachable = false;
    std::string error;  // of the last probe, for the log only
  };
  std::vector<std::shared_ptr<Probe>> probes;

  bool reachable(std::size_t index) {
    const auto probe = probes[index];
    std::unique_lock lock(probe->mutex);
    const std::uint64_t seen = probe->finished;
    if (!probe->running) {
      probe->running = true;
      std::thread([probe, db = databases[index].db] {
        std::string error;
        try {
          (void)db->get_usable_table_names();
        } catch (const std::exception& e) {
          error = e.what();
          if (error.empty()) error = "failed";
        } catch (...) {
          error = "failed";
        }
        std::lock_guard done(probe->mutex);
        probe->running = false;
        probe->reachable = error.empty();
        probe->error = std::move(error);
        ++probe->finished;
        probe->cv.notify_all();
      }).detach();
    }
    if (!probe->cv.wait_for(lock, options.probe_timeout, [&] { return probe->finished != seen; })) {
      lock.unlock();
      log("probe database=" + databases[index].name + " timed out");
      return false;
    }
    if (!probe->reachable) {
      // The driver's text (hosts, ports, users) is for the operator, never for a probe.
      const std::string error = probe->error;
      lock.unlock();
      log("probe database=" + databases[index].name + " failed: " + loggable(error));
    }
    return probe->reachable;
  }

  void handle_ready(const http::ServerRequest& req, http::ServerResponse& res) {
    // With tokens, the details are for a token and name only its databases; anyone else
    // learns ready or not.
    const Token* token = nullptr;
    bool details = true;
    if (!options.tokens.empty()) {
      const std::string header(req.header("Authorization").value_or(""));
      constexpr std::string_view kBearer = "Bearer ";
      if (header.size() > kBearer.size() && header.compare(0, kBearer.size(), kBearer) == 0) {
        token = detail::find_token(options.tokens, std::string_view(header).substr(kBearer.size()));
      }
      details = token != nullptr;
      if (token != nullptr) request_context.token_name = token->name;
    }
    // A token's readiness covers only its databases: the others' state is not its to learn.
    bool ready = true;
    Json dbs = Json::array();
    for (std::size_t i = 0; i < databases.size(); ++i) {
      const auto& d = databases[i];
      if (!allowed(token, d.name)) continue;
      const bool model = d.flow != nullptr || bool(d.fresh_flow);
      const bool up = reachable(i);
      ready = ready && up && model;
      dbs.push_back({{"name", d.name}, {"reachable", up}, {"model_configured", model}});
    }
    const bool accepting = [&] {
      std::lock_guard lock(admission_mutex);
      return !draining;
    }();
    const auto layers = python::sandbox_layers();
    const bool warm = analysis_warm.load();
    const bool confined = layers.complete() || options.sandbox == SandboxMode::relaxed;
    ready = ready && accepting && warm && confined;
    Json body = {{"ready", ready}};
    if (details) {
      body["accepting"] = accepting;
      body["databases"] = std::move(dbs);
      body["analysis"] = {{"sandbox", to_string(options.sandbox)},
                          {"isolated", analysis_options_for(options.sandbox).isolated},
                          {"confined", layers.complete()},
                          {"layers", python::describe_sandbox_layers(layers.available)},
                          {"guarantees", python::describe_sandbox_guarantees(layers.available)},
                          {"warm", warm}};
    }
    res.set_content(ready ? 200 : 503, json_text(body), kJsonType);
  }

  void handle_metrics(const http::ServerRequest& req, http::ServerResponse& res) {
    const Token* token = nullptr;
    if (!authorise(req, res, token)) return;
    // Figures of the whole service only for a token that may use every database; any other
    // token sees its own databases' figures.
    const bool whole = token == nullptr || token->allows("*");
    std::ostringstream out;
    if (whole) {
      out << metrics.render();
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
      if (!allowed(token, d.name)) continue;
      const auto pool = d.db->pool_status();
      out << "norvex_db_pool_connections{database=\"" << d.name << "\",state=\"open\"} "
          << pool.open << '\n'
          << "norvex_db_pool_connections{database=\"" << d.name << "\",state=\"in_use\"} "
          << pool.in_use << '\n'
          << "norvex_db_pool_connections{database=\"" << d.name << "\",state=\"capacity\"} "
          << pool.capacity << '\n';
    }
    if (whole) {
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
    }
    res.set_content(200, out.str(), "text/plain; version=0.0.4; charset=utf-8");
  }

  // --- the front door -------------------------------------------------------------------

  // The host part of a Host header ("name", "1.2.3.4", "[::1]"), without the port.
  static std::string_view host_name(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
      const auto close = host.find(']');
      return close == std::string_view::npos ? host : host.substr(0, close + 1);
    }
    return host.substr(0, host.find(':'));
  }

  static bool is_ip_literal(std::string_view name) {
    if (!name.empty() && name.front() == '[') return true;
    in_addr v4{};
    return ::inet_pton(AF_INET, std::string(name).c_str(), &v4) == 1;
  }

  // A page on another site can reach a loopback service under a name of its own that
  // resolves to 127.0.0.1; such a request names that site in its Host. Only names we know
  // are answered: the listening address, localhost, --allowed-host, and (when listening on
  // every address) any address literal, which no other site can hold.
  bool known_host(std::string_view host) const {
    const std::string name = base::lower(host_name(host));
    if (name.empty()) return false;
    const std::string listening = options.host.find(':') != std::string::npos
                                      ? "[" + base::lower(options.host) + "]"
                                      : base::lower(options.host);
    if (name == listening || name == "localhost") return true;
    for (const auto& allowed_host : options.allowed_hosts) {
      if (name == base::lower(allowed_host)) return true;
    }
    const bool wildcard = options.host == "0.0.0.0" || options.host == "::";
    return wildcard && is_ip_literal(name);
  }

  // Checks every request must pass before any endpoint sees it; false after answering.
  bool admitted(const http::ServerRequest& req, http::ServerResponse& res) {
    const auto host = req.header("Host");
    if (host && !known_host(*host)) {
      send_error(res, 421, "misdirected_request",
                 "this service does not answer for that host name (see --allowed-host)");
      return false;
    }
    // A browser names the page's origin; only the service's own page and --cors-origin may
    // call it. Programs send no Origin.
    if (const auto origin = req.header("Origin")) {
      // Behind a proxy that terminates TLS the page's origin is https.
      const bool own = host && (*origin == "http://" + std::string(*host) ||
                                *origin == "https://" + std::string(*host));
      const bool configured = options.cors_origin && *origin == *options.cors_origin;
      if (!own && !configured) {
        send_error(res, 403, "forbidden_origin", "requests from this origin are not allowed");
        return false;
      }
    }
    // Only JSON bodies: a form or text/plain POST needs no preflight, so a page on any site
    // could send one.
    if (req.method == "POST") {
      const std::string type = base::lower(
          base::trim(req.header("Content-Type")
                         .value_or("")
                         .substr(0, req.header("Content-Type").value_or("").find(';'))));
      if (type != kJsonType) {
        send_error(res, 415, "unsupported_media_type", "the body must be application/json");
        return false;
      }
    }
    return true;
  }

  void handle(const http::ServerRequest& req, http::ServerResponse& res) {
    request_context = RequestContext{req.id, "-"};
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy", "frame-ancestors " + options.frame_ancestors);
    if (options.frame_ancestors == "'none'") res.set_header("X-Frame-Options", "DENY");
    if (options.cors_origin && req.header("Origin") == *options.cors_origin) {
      res.set_header("Access-Control-Allow-Origin", *options.cors_origin);
      res.set_header("Vary", "Origin");
    }
    if (!admitted(req, res)) return;
    try {
      route(req, res);
    } catch (const std::exception& e) {
      // The failure's own text may hold anything: it goes to the log, the client gets an id.
      log("error request=" + req.id + ": " + loggable(e.what()));
      internal_error(req, res);
    }
  }

  void internal_error(const http::ServerRequest& req, http::ServerResponse& res) {
    res.stream = nullptr;
    Json body = error_body("internal_error", "the request failed; the log has the details");
    body["error"]["request_id"] = req.id;
    res.set_content(500, json_text(body), kJsonType);
  }

  void route(const http::ServerRequest& req, http::ServerResponse& res) {
    const std::string& path = req.path;
    const bool get = req.method == "GET" || req.method == "HEAD";
    constexpr std::string_view kTables = "/tables";
    constexpr std::string_view kDatabases = "/v1/databases/";
    constexpr std::string_view kCharts = "/v1/charts/";
    if (req.method == "OPTIONS" && options.cors_origin && path.rfind("/v1/", 0) == 0) {
      res.set_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
      res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type, Accept");
      res.set_content(204, "", "");
      return;
    }
    const auto known = [&](std::string_view method) {
      if (req.method == method || (method == "GET" && get)) return true;
      res.set_header("Allow", std::string(method));
      send_error(res, 405, "method_not_allowed", "use " + std::string(method));
      return false;
    };
    if (path == "/") {
      if (!known("GET")) return;
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
                     "script-src 'self' 'unsafe-inline'; connect-src 'self'; frame-ancestors " +
                         options.frame_ancestors);
      res.set_content(200, std::string(detail::kIndexHtml), "text/html; charset=utf-8");
    } else if (path == "/healthz") {
      if (known("GET")) res.set_content(200, "ok\n", "text/plain");
    } else if (path == "/readyz") {
      if (known("GET")) handle_ready(req, res);
    } else if (path == "/metrics") {
      if (known("GET")) handle_metrics(req, res);
    } else if (path == "/v1/openapi.json") {
      if (known("GET")) res.set_content(200, std::string(detail::kOpenApiJson), kJsonType);
    } else if (path == "/v1/databases") {
      if (known("GET")) handle_databases(req, res);
    } else if (path.size() > kDatabases.size() + kTables.size() && path.starts_with(kDatabases) &&
               path.ends_with(kTables) &&
               path.find('/', kDatabases.size()) == path.size() - kTables.size()) {
      if (known("GET")) {
        handle_tables(
            req, res,
            path.substr(kDatabases.size(), path.size() - kDatabases.size() - kTables.size()));
      }
    } else if (path == "/v1/graph") {
      if (known("GET")) handle_graph(req, res);
    } else if (path.starts_with(kCharts)) {
      if (known("GET")) handle_chart(res, path.substr(kCharts.size()));
    } else if (path == "/v1/questions") {
      if (known("POST")) handle_question(req, res);
    } else {
      send_error(res, 404, "not_found", "no such endpoint");
    }
  }

  void error_page(int status, const http::ServerRequest& req, http::ServerResponse& res) {
    switch (status) {
      case 408:
        return send_error(res, 408, "request_timeout", "the request did not arrive in time");
      case 413:
        return send_error(res, 413, "payload_too_large", "the request body is too large");
      case 414:
        return send_error(res, 414, "uri_too_long", "the request line is too long");
      case 431:
        return send_error(res, 431, "headers_too_large", "too many or too large header lines");
      case 503:
        res.set_header("Retry-After", std::to_string(options.retry_after.count()));
        return send_error(res, 503, "busy", "the service is busy; try again shortly");
      case 500:
        log("error request=" + req.id + ": the request failed");
        return internal_error(req, res);
      default:
        return send_error(res, status, "bad_request", "the request is malformed");
    }
  }

  void access(const http::ServerRequest& req, int status) {
    metrics.count_request(status);
    const bool mine = request_context.id == req.id && !req.id.empty();
    const double ms = req.start == std::chrono::steady_clock::time_point{}
                          ? 0.0
                          : std::chrono::duration<double, std::milli>(
                                std::chrono::steady_clock::now() - req.start)
                                .count();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1fms", ms);
    // Only the path: query strings and headers (where tokens travel) are never logged, nor a
    // chart's id, which is all its permission.
    std::string path = req.path.empty() ? "-" : loggable(req.path, true);
    if (req.path.starts_with("/v1/charts/")) path = "/v1/charts/*";
    log("access " + (req.method.empty() ? "-" : loggable(req.method, true)) + " " + path + " " +
        std::to_string(status) + " " + duration +
        " token=" + (mine ? request_context.token_name : "-"));
    if (mine) request_context = RequestContext{};
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
    impl_->probes.push_back(std::make_shared<Impl::Probe>());
  }
  if (!is_loopback_host(o.host) && o.tokens.empty()) {
    throw ArgumentError("listening on " + o.host +
                        " (not a loopback address) needs bearer tokens: give --tokens FILE");
  }
  if (o.workers == 0 || o.per_token_limit == 0 || o.max_body_bytes == 0 ||
      o.max_question_chars == 0 || o.max_connections == 0) {
    throw ArgumentError("the service's limits must be positive");
  }
  http::ServerLimits limits;
  limits.max_body_bytes = o.max_body_bytes;
  limits.request_deadline = o.read_timeout;
  limits.write_timeout = o.write_timeout;
  limits.max_connections = o.max_connections;
  limits.handler_threads = o.workers + o.queue_limit + kOtherRequestThreads;
  http::ServerHooks hooks;
  Impl* impl = impl_.get();
  hooks.handler = [impl](const http::ServerRequest& q, http::ServerResponse& r) {
    impl->handle(q, r);
  };
  hooks.error_page = [impl](int status, const http::ServerRequest& q, http::ServerResponse& r) {
    impl->error_page(status, q, r);
  };
  hooks.on_done = [impl](const http::ServerRequest& q, int status) { impl->access(q, status); };
  impl_->http = std::make_unique<http::Server>(std::move(hooks), limits);
}

Server::~Server() {
  if (impl_->started && !impl_->stopped) shutdown(std::chrono::seconds(30));
  impl_->http.reset();
  if (impl_->warmer.joinable()) impl_->warmer.join();
}

void Server::start() {
  if (impl_->started) throw Error("the service is already started");
  auto& o = impl_->options;
  impl_->http->bind(o.host, o.port);
  impl_->bound_port = impl_->http->port();
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
  impl_->http->start();
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
  // No new connections; those idle or still sending a request are closed now, requests
  // being answered finish.
  impl_->http->stop_accepting();
  const auto end = std::chrono::steady_clock::now() + grace;
  std::unique_lock lock(impl_->admission_mutex);
  const bool drained = impl_->admission_cv.wait_until(
      lock, end, [&] { return impl_->running == 0 && impl_->waiting == 0; });
  lock.unlock();
  if (!drained) return false;  // the caller exits; threads still answering go with it
  // The last answers are written (within the grace, and a moment more for a slow reader);
  // then every connection still open is closed.
  (void)impl_->http->wait_closed(std::max<std::chrono::milliseconds>(
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()),
      std::chrono::seconds(1)));
  impl_->http->close_all();
  return true;
}

}  // namespace norvex::serve

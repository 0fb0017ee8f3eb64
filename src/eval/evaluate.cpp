// Running an evaluation: worker threads take questions in file order, each with its own
// pipeline and connections; records are appended to results.jsonl as questions finish, so an
// interrupted run loses at most the questions in flight.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"
#include "norvex/flow_stages/state.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/query_flow/query_flow.hpp"
#include "norvex/query_flow/step_meter.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::eval {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kResultsFile = "results.jsonl";
constexpr const char* kSummaryFile = "summary.json";
constexpr const char* kReportFile = "report.md";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One worker's pipeline, and a connection for the gold and re-run queries whose caps are
// lifted: a capped result must never stand in for the whole one.
struct Worker {
  std::unique_ptr<query_flow::QueryFlow> flow;
  std::shared_ptr<sql::CustomSQLDatabase> compare_db;
};

Worker make_worker(const Target& target) {
  sql::Options uncapped;
  uncapped.max_rows = 0;
  uncapped.max_bytes = 0;
  Worker w;
  w.compare_db = sql::CustomSQLDatabase::from_uri(target.db_uri, uncapped);
  w.flow = std::make_unique<query_flow::QueryFlow>(sql::CustomSQLDatabase::from_uri(target.db_uri),
                                                   target.config_35, target.config_4);
  return w;
}

// Steps, SQL attempts and tokens of one run. A node runs start to finish on one thread, so
// its usage scope lives in a thread-local slot between its two events.
class RunMeter {
 public:
  graph::Observer observer() { return meter_.observer(); }
  [[nodiscard]] llm::Usage usage() const noexcept { return meter_.usage(); }
  [[nodiscard]] std::int64_t steps() const noexcept { return meter_.steps(); }
  [[nodiscard]] std::int64_t executions() const noexcept { return executions_; }

 private:
  std::atomic<std::int64_t> executions_{0};
  query_flow::StepMeter meter_{[this](const query_flow::StepReport& step) {
    if (step.node == query_flow::kSqlExecutionNode) ++executions_;
  }};
};

std::string last_text(const Json& state, std::string_view field) {
  const auto it = state.find(field);
  if (it == state.end() || !it->is_array() || it->empty() || !it->back().is_string()) return {};
  return it->back().get<std::string>();
}

std::string safe_name(const std::string& id) {
  std::string out;
  for (const char c : id) {
    out += (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_') ? c : '_';
  }
  return out;
}

QuestionResult run_question(Worker& worker, const Question& q, const fs::path& media,
                            const CompareOptions& base) {
  const auto start = Clock::now();
  QuestionResult r;
  r.question = q;
  r.ordered = has_top_level_order_by(q.gold_sql);
  const auto done = [&](std::string_view reason, std::string detail) {
    r.reason = std::string(reason);
    r.match = reason == kReasonMatch;
    r.detail = std::move(detail);
    r.seconds = seconds_since(start);
    return r;
  };

  // The gold first: a broken gold is the question set's fault and costs no model calls.
  ResultRows gold;
  try {
    gold = read_rows(worker.compare_db->run(q.gold_sql));
  } catch (const std::exception& error) {
    return done(kReasonGoldFailed, error.what());
  }
  r.gold_rows = gold.cells.size();

  RunMeter meter;
  Json state;
  std::string failure;
  try {
    const fs::path save_path = media / safe_name(q.id);
    fs::create_directories(save_path);
    state = worker.flow->invoke(
        Json{{"user_question", q.question}, {"save_path", save_path.string()}}, meter.observer());
  } catch (const std::exception& error) {
    failure = error.what();
  }
  const llm::Usage usage = meter.usage();
  r.steps = meter.steps();
  r.repairs = std::max<std::int64_t>(0, meter.executions() - 1);
  r.prompt_tokens = usage.prompt_tokens;
  r.completion_tokens = usage.completion_tokens;
  if (!failure.empty()) return done(kReasonPipelineError, failure);

  r.predicted_sql = last_text(state, flow_stages::field::generated_sql_query);
  if (r.predicted_sql.empty()) return done(kReasonPipelineError, "the pipeline wrote no SQL");

  // The pipeline's own rows when they are complete; otherwise the final query runs again
  // without caps (also when the pipeline counted its empty result as a failure).
  std::optional<ResultRows> predicted;
  const auto success = state.find(flow_stages::field::execution_success);
  if (success != state.end() && success->is_boolean() && success->get<bool>()) {
    try {
      predicted = read_rows(last_text(state, flow_stages::field::sql_execution_result));
    } catch (const ValueError&) {
    }
  }
  if (!predicted) {
    try {
      predicted = read_rows(worker.compare_db->run(r.predicted_sql));
    } catch (const std::exception& error) {
      return done(kReasonPredictedSqlFailed, error.what());
    }
  }
  r.predicted_rows = predicted->cells.size();
  CompareOptions options = base;
  options.ordered = r.ordered;
  const Comparison c = compare_rows(gold, *predicted, options);
  return done(c.reason, c.detail);
}

// The records of an earlier run. A last line without its newline is what an interrupted
// write leaves: it is cut off, so that the next record starts on a line of its own.
std::vector<QuestionResult> read_results(const fs::path& path) {
  std::vector<QuestionResult> out;
  std::string text;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ValueError("cannot read " + path.string());
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
  }
  const auto complete = text.rfind('\n');
  const std::size_t keep = complete == std::string::npos ? 0 : complete + 1;
  if (keep < text.size()) fs::resize_file(path, keep);
  std::size_t start = 0;
  std::size_t line = 0;
  while (start < keep) {
    const auto end = text.find('\n', start);
    const std::string_view record(text.data() + start, end - start);
    start = end + 1;
    ++line;
    if (record.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    try {
      out.push_back(QuestionResult::from_json(Json::parse(record)));
    } catch (const std::exception& error) {
      throw ValueError(path.string() + " line " + std::to_string(line) +
                       " is not a result record: " + error.what());
    }
  }
  return out;
}

void write_file(const fs::path& path, const std::string& text) {
  const fs::path partial = path.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw Error("cannot write " + partial.string());
  }
  fs::rename(partial, path);
}

bool uses_cassettes(const llm::ModelSettings& s) {
  return s.provider == llm::Provider::replay || !s.record_to.empty();
}

}  // namespace

Summary evaluate(const std::vector<Question>& questions, const Target& target,
                 const RunOptions& options) {
  const auto started = Clock::now();
  if (options.concurrency == 0) throw ArgumentError("the concurrency must be at least 1");
  if (options.concurrency > 1 &&
      (uses_cassettes(target.config_35) || uses_cassettes(target.config_4))) {
    throw ArgumentError(
        "a cassette is replayed and recorded in the order of its exchanges: use concurrency 1");
  }
  if (!(options.tolerance >= 0)) throw ArgumentError("the tolerance must not be negative");
  const fs::path results_path = options.out_dir / kResultsFile;
  fs::create_directories(options.out_dir);

  std::unordered_map<std::string, QuestionResult> finished;
  std::set<std::string> wanted;
  for (const auto& q : questions) wanted.insert(q.id);
  std::size_t resumed = 0;
  if (fs::exists(results_path)) {
    if (!options.resume) {
      throw ArgumentError(results_path.string() +
                          " already exists: resume it, or choose another output directory");
    }
    for (auto& record : read_results(results_path)) {
      if (!wanted.contains(record.question.id)) continue;
      const std::string id = record.question.id;
      if (finished.emplace(id, std::move(record)).second) ++resumed;
    }
  }
  std::vector<const Question*> pending;
  for (const auto& q : questions) {
    if (!finished.contains(q.id)) pending.push_back(&q);
  }

  const fs::path media = options.media_dir.value_or(options.out_dir / "media");
  const unsigned thread_count =
      std::max(1u, std::min<unsigned>(options.concurrency, static_cast<unsigned>(pending.size())));
  std::vector<Worker> workers;
  if (!pending.empty()) {
    for (unsigned i = 0; i < thread_count; ++i) workers.push_back(make_worker(target));
  }

  std::ofstream results(results_path, std::ios::binary | std::ios::app);
  if (!results) throw Error("cannot write " + results_path.string());
  std::mutex mutex;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr first_error;
  const CompareOptions compare{.tolerance = options.tolerance};

  const auto work = [&](Worker& worker) {
    try {
      for (std::size_t i = next++; i < pending.size() && !stop; i = next++) {
        QuestionResult r = run_question(worker, *pending[i], media, compare);
        const std::string line =
            r.to_json().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        std::lock_guard lock(mutex);
        results << line;
        if (!results.flush()) throw Error("cannot write " + results_path.string());
        const std::string id = r.question.id;
        const auto& kept = finished.emplace(id, std::move(r)).first->second;
        if (options.on_result) options.on_result(kept, finished.size(), questions.size());
      }
    } catch (...) {
      std::lock_guard lock(mutex);
      if (!first_error) first_error = std::current_exception();
      stop = true;
    }
  };
  if (workers.size() == 1) {
    work(workers.front());
  } else {
    std::vector<std::thread> threads;
    for (auto& worker : workers) threads.emplace_back(work, std::ref(worker));
    for (auto& thread : threads) thread.join();
  }
  results.close();
  if (first_error) std::rethrow_exception(first_error);

  std::vector<QuestionResult> ordered;
  ordered.reserve(questions.size());
  for (const auto& q : questions) ordered.push_back(finished.at(q.id));
  Summary summary = summarise(ordered);
  summary.resumed = resumed;
  summary.wall_seconds = seconds_since(started);
  write_file(
      options.out_dir / kSummaryFile,
      summary.to_json().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  write_file(options.out_dir / kReportFile, render_report(summary, ordered));
  return summary;
}

}  // namespace norvex::eval

// The records of an evaluation: one result per question, the summary and the readable report.
#include <cstdio>
#include <sstream>

#include "norvex/error.hpp"
#include "norvex/eval/eval.hpp"

namespace norvex::eval {
namespace {

Json optional_count(const std::optional<std::size_t>& n) {
  return n ? Json(*n) : Json(nullptr);
}

std::optional<std::size_t> read_count(const Json& value) {
  if (value.is_null()) return std::nullopt;
  return value.get<std::size_t>();
}

std::string percent(std::size_t part, std::size_t whole) {
  if (whole == 0) return "-";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f %%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return buffer;
}

std::string fixed(double value, const char* format = "%.2f") {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// One line of Markdown: line breaks and table pipes would break the layout.
std::string inline_text(std::string_view text, std::size_t max = 300) {
  std::string out;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') {
      out += ' ';
    } else if (c == '|') {
      out += "\\|";
    } else {
      out += c;
    }
  }
  if (out.size() > max) out = out.substr(0, max) + "...";
  return out;
}

}  // namespace

Json QuestionResult::to_json() const {
  Json j;
  j["id"] = question.id;
  j["question"] = question.question;
  if (question.db_id) j["db_id"] = *question.db_id;
  if (question.evidence) j["evidence"] = *question.evidence;
  j["predicted_sql"] = predicted_sql;
  j["gold_sql"] = question.gold_sql;
  j["match"] = match;
  j["reason"] = reason;
  j["detail"] = detail;
  j["ordered"] = ordered;
  j["rows_compared"] = {{"gold", optional_count(gold_rows)},
                        {"predicted", optional_count(predicted_rows)}};
  j["steps"] = steps;
  j["repairs"] = repairs;
  j["seconds"] = seconds;
  j["tokens"] = {{"prompt", prompt_tokens},
                 {"completion", completion_tokens},
                 {"total", prompt_tokens + completion_tokens}};
  return j;
}

QuestionResult QuestionResult::from_json(const Json& j) {
  if (!j.is_object()) throw ValueError("a result record must be a JSON object");
  try {
    QuestionResult r;
    r.question.id = j.at("id").get<std::string>();
    r.question.question = j.at("question").get<std::string>();
    if (j.contains("db_id")) r.question.db_id = j["db_id"].get<std::string>();
    if (j.contains("evidence")) r.question.evidence = j["evidence"].get<std::string>();
    r.predicted_sql = j.at("predicted_sql").get<std::string>();
    r.question.gold_sql = j.at("gold_sql").get<std::string>();
    r.match = j.at("match").get<bool>();
    r.reason = j.at("reason").get<std::string>();
    r.detail = j.value("detail", "");
    r.ordered = j.value("ordered", false);
    const Json& rows = j.at("rows_compared");
    r.gold_rows = read_count(rows.at("gold"));
    r.predicted_rows = read_count(rows.at("predicted"));
    r.steps = j.at("steps").get<std::int64_t>();
    r.repairs = j.at("repairs").get<std::int64_t>();
    r.seconds = j.at("seconds").get<double>();
    r.prompt_tokens = j.at("tokens").at("prompt").get<std::int64_t>();
    r.completion_tokens = j.at("tokens").at("completion").get<std::int64_t>();
    return r;
  } catch (const Json::exception& error) {
    throw ValueError(std::string("a result record has a missing or mistyped field: ") +
                     error.what());
  }
}

Summary summarise(const std::vector<QuestionResult>& results) {
  Summary s;
  s.questions = results.size();
  for (const auto& r : results) {
    s.question_seconds += r.seconds;
    s.prompt_tokens += r.prompt_tokens;
    s.completion_tokens += r.completion_tokens;
    if (!r.match) ++s.failures[r.reason];
    if (r.reason == kReasonGoldFailed) {
      ++s.broken_gold;
      continue;
    }
    ++s.evaluated;
    auto& bucket = s.by_repairs[r.repairs];
    ++bucket.first;
    if (r.match) {
      ++s.matched;
      ++bucket.second;
    }
  }
  s.accuracy =
      s.evaluated == 0 ? 0.0 : static_cast<double>(s.matched) / static_cast<double>(s.evaluated);
  return s;
}

Json Summary::to_json() const {
  Json repairs = Json::array();
  for (const auto& [count, bucket] : by_repairs) {
    repairs.push_back({{"repairs", count},
                       {"questions", bucket.first},
                       {"matched", bucket.second},
                       {"accuracy", bucket.first == 0 ? 0.0
                                                      : static_cast<double>(bucket.second) /
                                                            static_cast<double>(bucket.first)}});
  }
  Json reasons = Json::object();
  for (const auto& [reason, count] : failures) reasons[reason] = count;
  return {{"questions", questions},
          {"evaluated", evaluated},
          {"matched", matched},
          {"accuracy", accuracy},
          {"broken_gold", broken_gold},
          {"resumed", resumed},
          {"by_repairs", repairs},
          {"failures", reasons},
          {"seconds", {{"questions", question_seconds}, {"wall", wall_seconds}}},
          {"tokens",
           {{"prompt", prompt_tokens},
            {"completion", completion_tokens},
            {"total", prompt_tokens + completion_tokens}}}};
}

std::string render_report(const Summary& s, const std::vector<QuestionResult>& results) {
  std::ostringstream out;
  out << "# Evaluation report\n\n";
  out << "Execution accuracy: **" << percent(s.matched, s.evaluated) << "** (" << s.matched
      << " of " << s.evaluated << " questions with a working gold query)\n\n";
  if (s.broken_gold > 0) {
    out << "Broken gold queries: " << s.broken_gold
        << " (not counted against the model; listed below)\n\n";
  }
  if (s.resumed > 0) out << "Taken from an earlier run: " << s.resumed << " questions\n\n";

  out << "## Accuracy by repairs needed\n\n";
  out << "| repairs | questions | correct | accuracy |\n|---:|---:|---:|---:|\n";
  for (const auto& [repairs, bucket] : s.by_repairs) {
    out << "| " << repairs << " | " << bucket.first << " | " << bucket.second << " | "
        << percent(bucket.second, bucket.first) << " |\n";
  }
  out << '\n';

  out << "## Failures by reason\n\n";
  if (s.failures.empty()) out << "None.\n\n";
  for (const auto& [reason, count] : s.failures) {
    out << "### " << reason << " (" << count << ")\n\n";
    for (const auto& r : results) {
      if (r.match || r.reason != reason) continue;
      out << "- `" << inline_text(r.question.id, 80) << "` " << inline_text(r.question.question);
      if (!r.detail.empty()) out << " — " << inline_text(r.detail);
      out << '\n';
    }
    out << '\n';
  }

  out << "## Time and tokens\n\n";
  out << "- questions: " << s.questions << '\n';
  out << "- time over all questions: " << fixed(s.question_seconds) << " s";
  if (s.questions > 0) {
    out << " (" << fixed(s.question_seconds / static_cast<double>(s.questions))
        << " s per question)";
  }
  out << '\n';
  out << "- wall time of this run: " << fixed(s.wall_seconds) << " s\n";
  out << "- tokens: " << (s.prompt_tokens + s.completion_tokens) << " (" << s.prompt_tokens
      << " prompt + " << s.completion_tokens << " completion)\n";
  return out.str();
}

}  // namespace norvex::eval

// `norvex serve`: the question service over one or more databases, until SIGTERM or SIGINT.
#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.hpp"
#include "norvex/agent/agent.hpp"
#include "norvex/error.hpp"
#include "norvex/files/files.hpp"
#include "norvex/flow_stages/log.hpp"
#include "norvex/serve/serve.hpp"
#include "norvex/sql/database.hpp"

namespace norvex::cli {
namespace {

constexpr const char* kDefaultName = "default";

struct ServeOptions {
  std::vector<std::string> dbs;
  std::string listen = "127.0.0.1:8765";
  std::optional<std::string> tokens;
  std::optional<std::string> replay;
  std::string media = "norvex_media";
  std::size_t workers = 8;
  std::size_t queue = 32;
  std::size_t per_token = 8;
  std::size_t max_question = 4000;
  std::size_t max_body = 64 * 1024;
  int drain_seconds = 30;
  std::optional<std::string> cors_origin;
  std::vector<std::string> allowed_hosts;
  std::string frame_ancestors = "'none'";
  std::size_t max_connections = 512;
  double read_timeout = 10;
  double media_hours = 24;
  std::string sandbox = "strict";
  bool log_questions = false;
  bool verbose = false;
};

// "HOST:PORT", "[V6]:PORT" or ":PORT" (loopback).
std::pair<std::string, int> parse_listen(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos)
    throw ArgumentError("--listen wants HOST:PORT, not '" + text + "'");
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) host = "127.0.0.1";
  int port = -1;
  try {
    std::size_t used = 0;
    port = std::stoi(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1) port = -1;
  } catch (const std::exception&) {
  }
  if (port < 0 || port > 65535) throw ArgumentError("--listen has no valid port: '" + text + "'");
  return {host, port};
}

// "NAME=URI" names a database; a bare URI is named "default". A URI itself never holds '='
// before its "://".
std::pair<std::string, std::string> split_entry(const std::string& text) {
  const auto scheme = text.find("://");
  const auto equals = text.find('=');
  if (equals != std::string::npos && (scheme == std::string::npos || equals < scheme)) {
    return {text.substr(0, equals), text.substr(equals + 1)};
  }
  return {kDefaultName, text};
}

int serve(const ServeOptions& o) {
  // Signals wait for the thread below; every thread started from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (!o.verbose) flow_stages::set_log_sink([](std::string_view, std::string_view) {});
  serve::Options options;
  std::tie(options.host, options.port) = parse_listen(o.listen);
  if (o.tokens) options.tokens = serve::load_tokens(*o.tokens);
  options.media_dir = std::filesystem::absolute(o.media);
  options.workers = o.workers;
  options.queue_limit = o.queue;
  options.per_token_limit = o.per_token;
  options.max_question_chars = o.max_question;
  options.max_body_bytes = o.max_body;
  options.cors_origin = o.cors_origin;
  options.allowed_hosts = o.allowed_hosts;
  options.media_ttl = std::chrono::seconds(static_cast<long long>(o.media_hours * 3600));
  options.frame_ancestors = o.frame_ancestors;
  options.max_connections = o.max_connections;
  options.read_timeout = std::chrono::milliseconds(static_cast<long long>(o.read_timeout * 1000));
  options.log_questions = o.log_questions;
  options.sandbox = serve::parse_sandbox_mode(o.sandbox);
  options.no_model_message = kNoModelsMessage;

  const auto records = configured_model_records(o.replay, std::nullopt);
  const auto tiers = agent::select_model_tiers(records);
  std::vector<files::FileDatabase> file_dbs;
  std::vector<serve::Database> databases;
  for (const auto& entry : o.dbs) {
    std::string name, uri;
    if (auto files_entry = files::parse_database_entry(entry)) {
      file_dbs.push_back(files::FileDatabase::load(files_entry->files));
      name = files_entry->name;
      uri = file_dbs.back().uri();
    } else {
      std::tie(name, uri) = split_entry(entry);
    }
    serve::Database d;
    d.name = name;
    d.db = sql::CustomSQLDatabase::from_uri(uri);
    if (tiers.complete()) {
      d.flow = std::make_shared<query_flow::QueryFlow>(d.db, tiers.config_35, tiers.config_4);
      // A cassette answers in recorded order: every question replays it from the start.
      if (o.replay) {
        d.fresh_flow = [db = d.db, tiers] {
          return std::make_shared<const query_flow::QueryFlow>(db, tiers.config_35, tiers.config_4);
        };
      }
    }
    databases.push_back(std::move(d));
  }

  serve::Server server(std::move(databases), options);
  server.start();
  std::cerr << "norvex serves on http://"
            << (options.host.find(':') != std::string::npos ? "[" + options.host + "]"
                                                            : options.host)
            << ':' << server.port() << "/ ("
            << (options.tokens.empty() ? "no tokens" : "bearer tokens") << ", sandbox "
            << serve::to_string(options.sandbox) << ")" << std::endl;
  if (o.replay) std::cerr << "The models answer from the cassette " << *o.replay << std::endl;
  if (!tiers.complete()) std::cerr << "No model is configured: questions are refused." << std::endl;

  int signal = 0;
  sigwait(&signals, &signal);
  std::cerr << "Stopping: finishing " << server.questions_in_flight() << " question(s) in flight"
            << std::endl;
  // A second signal means now.
  std::thread([signals] {
    int again = 0;
    sigwait(&signals, &again);
    std::cerr << "norvex: stopped at once by a second signal" << std::endl;
    std::_Exit(1);
  }).detach();
  if (!server.shutdown(std::chrono::seconds(o.drain_seconds))) {
    std::cerr << "norvex: error: " << server.questions_in_flight()
              << " question(s) did not finish within " << o.drain_seconds << " s" << std::endl;
    std::cerr.flush();
    std::_Exit(1);
  }
  std::cerr << "Stopped." << std::endl;
  return 0;
}

}  // namespace

void add_serve_commands(CLI::App& app, Action& action) {
  auto o = std::make_shared<ServeOptions>();
  auto* command = app.add_subcommand(
      "serve", "Answer questions over HTTP: a JSON API under /v1 and a web page at /");
  command
      ->add_option("--db", o->dbs,
                   "A database: URI (named \"default\"), NAME=URI, or NAME=file:PATH[,PATH...]; "
                   "repeat for more")
      ->required();
  command
      ->add_option("--listen", o->listen, "Address and port (other than loopback needs --tokens)")
      ->capture_default_str();
  command->add_option("--tokens", o->tokens,
                      "Bearer tokens, one a line: NAME TOKEN DATABASE[,DATABASE...] (or *)");
  command->add_option("--replay", o->replay,
                      "Answer from this cassette instead of a live model (offline)");
  command->add_option("--media", o->media, "Directory for charts")->capture_default_str();
  command
      ->add_option("--media-hours", o->media_hours,
                   "Hours a question's folder (its chart) is kept before it is removed")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command->add_option("--workers", o->workers, "Questions answered at once")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command->add_option("--queue", o->queue, "Questions that may wait for a worker")
      ->capture_default_str();
  command->add_option("--per-token", o->per_token, "Questions one token may have in flight")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command->add_option("--max-question", o->max_question, "Longest question, in bytes")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command->add_option("--max-body", o->max_body, "Largest request body, in bytes")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command
      ->add_option("--drain-seconds", o->drain_seconds,
                   "On SIGTERM, how long questions in flight may take to finish")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  command->add_option("--cors-origin", o->cors_origin,
                      "Allow browser calls from this origin (scheme://host[:port])");
  command->add_option("--allowed-host", o->allowed_hosts,
                      "Also answer requests whose Host names this (besides the listening "
                      "address and localhost); repeat for more");
  command
      ->add_option("--frame-ancestors", o->frame_ancestors,
                   "Pages that may frame the web page (a CSP frame-ancestors value)")
      ->capture_default_str();
  command->add_option("--max-connections", o->max_connections, "Open connections at once")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command
      ->add_option("--read-timeout", o->read_timeout,
                   "Seconds a request may take to arrive whole (headers and body)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  command->add_option("--sandbox", o->sandbox, "Analysis sandbox: strict or relaxed")
      ->capture_default_str()
      ->check(CLI::IsMember({"strict", "relaxed"}));
  command->add_flag("--log-questions", o->log_questions, "Also log question texts");
  command->add_flag("--verbose", o->verbose, "Also show the pipeline's log lines");
  command->callback([o, &action] { action = [o] { return serve(*o); }; });
}

}  // namespace norvex::cli

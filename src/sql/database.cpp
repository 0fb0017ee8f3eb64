#include "norvex/sql/database.hpp"
#include "norvex/base/text.hpp"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <optional>

#include <poll.h>

#include "backend.hpp"

namespace norvex::sql {
namespace {

using base::iequals;
using base::trim;

constexpr std::string_view kFetchAll = "all";
constexpr std::string_view kFetchOne = "one";
constexpr std::size_t kSampleCellChars = 100;

// Renders a result as the Python literal of run().
class RenderSink : public detail::RowSink {
 public:
  RenderSink(bool include_columns, RenderLimits limits, bool first_only)
      : include_columns_(include_columns), limits_(limits), first_only_(first_only) {}
  void columns(const std::vector<std::string>& labels) override {
    renderer_.emplace(labels, include_columns_, limits_);
  }
  bool row(const Row& row) override {
    renderer_->add(row);
    return !first_only_;
  }
  std::string finish() { return renderer_ ? renderer_->finish() : std::string(); }

 private:
  bool include_columns_;
  RenderLimits limits_;
  bool first_only_;
  std::optional<RowRenderer> renderer_;
};

// Collects sample rows as tab-separated plain text.
class SampleSink : public detail::RowSink {
 public:
  void columns(const std::vector<std::string>& labels) override {
    header_.clear();
    for (std::size_t i = 0; i < labels.size(); ++i) {
      if (i != 0) header_ += '\t';
      header_ += labels[i];
    }
  }
  bool row(const Row& row) override {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) line += '\t';
      line += cell(shown(row[i]));
    }
    lines_.push_back(std::move(line));
    return true;
  }
  const std::string& header() const { return header_; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  // Only the start of a long text or bytes value can be shown: no more of it is rendered
  // (a bytes value renders to four times its size).
  static std::string shown(const Value& v) {
    constexpr std::size_t kPrefix = kSampleCellChars * 4 + 4;
    if ((v.kind == Value::Kind::text || v.kind == Value::Kind::bytes) && v.text.size() > kPrefix) {
      return plain_text(Value::of(v.kind, v.text.substr(0, kPrefix)));
    }
    return plain_text(v);
  }
  // One line per row: tabs and line breaks become blanks; long values are cut at a
  // character boundary.
  static std::string cell(std::string text) {
    for (char& c : text) {
      if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
      if (chars++ == kSampleCellChars) {
        text.resize(i);
        text += "...";
        break;
      }
    }
    return text;
  }
  std::string header_;
  std::vector<std::string> lines_;
};

// The names of a table list: blanks around a name and quotes a model may add are dropped.
std::vector<std::string> split_names(std::string_view text) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t comma = text.find(',', pos);
    std::string name(trim(
        text.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos)));
    if (name.size() >= 2) {
      const char first = name.front(), last = name.back();
      if ((first == '"' && last == '"') || (first == '`' && last == '`') ||
          (first == '[' && last == ']') || (first == '\'' && last == '\'')) {
        name = std::string(trim(std::string_view(name).substr(1, name.size() - 2)));
      }
    }
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return names;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) out += separator;
    out += parts[i];
  }
  return out;
}

}  // namespace

struct CustomSQLDatabase::Impl {
  ConnectionUri uri;
  Options options;
  std::string masked;
  std::string dialect;
  SqlLexicon lexicon;

  // The pool. Idle connections wait in `idle`; `open` counts them and those lent out.
  mutable std::mutex mutex;
  std::condition_variable returned;
  std::vector<std::unique_ptr<detail::Backend>> idle;
  std::size_t open = 0;
  std::size_t capacity = 1;

  std::unique_ptr<detail::Backend> connect() const {
    switch (uri.engine) {
      case Engine::sqlite:
        return detail::open_sqlite(uri, options);
      case Engine::mysql:
        return detail::open_mysql(uri, options);
      case Engine::postgresql:
        return detail::open_postgres(uri, options);
      case Engine::odbc:
        return detail::open_odbc(uri, options);
    }
    throw DatabaseError("unknown engine");
  }

  // A connection lent to one call; it goes back to the pool when the call ends, or is
  // dropped when it could not be re-opened.
  class Lease {
   public:
    Lease(Impl& pool, std::unique_ptr<detail::Backend> backend)
        : pool_(pool), backend_(std::move(backend)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      {
        std::lock_guard lock(pool_.mutex);
        if (backend_) {
          pool_.idle.push_back(std::move(backend_));
        } else {
          --pool_.open;
        }
      }
      pool_.returned.notify_one();
    }
    detail::Backend& operator*() const { return *backend_; }
    detail::Backend* operator->() const { return backend_.get(); }
    void drop() noexcept { backend_.reset(); }
    [[nodiscard]] bool held() const noexcept { return backend_ != nullptr; }

   private:
    Impl& pool_;
    std::unique_ptr<detail::Backend> backend_;
  };

  // Takes an idle connection (the most recently used: warm, and the others may time out
  // on the server), opens a new one below the capacity, or waits for one to come back.
  Lease lease() {
    std::unique_lock lock(mutex);
    const bool free = returned.wait_for(lock, options.pool_wait,
                                        [&] { return !idle.empty() || open < capacity; });
    if (!free) {
      throw DatabaseError("all " + std::to_string(capacity) +
                              " connections to the database are busy; waited " +
                              std::to_string(options.pool_wait.count()) + " ms for one",
                          "", true);
    }
    if (!idle.empty()) {
      auto backend = std::move(idle.back());
      idle.pop_back();
      return Lease(*this, std::move(backend));
    }
    ++open;
    lock.unlock();
    try {
      return Lease(*this, connect());
    } catch (...) {
      lock.lock();
      --open;
      lock.unlock();
      returned.notify_one();
      throw;
    }
  }

  // Runs `work` on a connection of the pool. An idle connection the server has closed is
  // re-opened first; one lost before the work reached the server (ConnectionLost) is
  // re-opened and the work repeated once. A connection the work left closed (lost while a
  // statement ran, stopped after a time-out, or not reset) leaves the pool.
  template <class Work>
  auto with_connection(Work&& work) {
    Lease backend = lease();
    // A connection that cannot be re-opened leaves the pool; the next call opens a new one.
    const auto reopen = [&] {
      try {
        backend->reconnect();
      } catch (...) {
        backend.drop();
        throw;
      }
    };
    const auto attempt = [&](bool last) {
      try {
        auto result = work(*backend);
        if (!backend->healthy()) backend.drop();
        return result;
      } catch (const detail::ConnectionLost&) {
        if (last) backend.drop();
        throw;
      } catch (...) {
        if (!backend->healthy()) backend.drop();
        throw;
      }
    };
    if (!backend->healthy()) reopen();
    try {
      return attempt(false);
    } catch (const detail::ConnectionLost&) {
      reopen();
    }
    return attempt(true);
  }

  static std::string quoted_list(const detail::Backend& backend,
                                 const std::vector<std::string>& columns) {
    std::vector<std::string> quoted;
    quoted.reserve(columns.size());
    for (const auto& c : columns) quoted.push_back(backend.quote(c));
    return join(quoted, ", ");
  }

  static std::string create_table_text(const detail::Backend& backend,
                                       const detail::TableSchema& table) {
    std::vector<std::string> lines;
    for (const auto& column : table.columns) {
      std::string line = "\t";
      line += backend.quote(column.name);
      line += ' ';
      line += column.type;
      if (column.not_null) line += " NOT NULL";
      lines.push_back(std::move(line));
    }
    for (const auto& key : table.keys) {
      if (key.primary) {
        lines.push_back(std::string("\tPRIMARY KEY (") + quoted_list(backend, key.columns) + ")");
      } else {
        // A foreign key to the primary key may name no columns (SQLite allows that).
        std::string line = std::string("\tFOREIGN KEY (") + quoted_list(backend, key.columns) +
                           ") REFERENCES " + backend.quote(key.ref_table);
        if (!key.ref_columns.empty()) line += " (" + quoted_list(backend, key.ref_columns) + ")";
        lines.push_back(std::move(line));
      }
    }
    std::string comment;
    for (std::size_t at = 0; at < table.comment.size();) {
      const std::size_t end = std::min(table.comment.find('\n', at), table.comment.size());
      comment += "\t-- " + table.comment.substr(at, end - at) + "\n";
      at = end + 1;
    }
    return "CREATE TABLE " + backend.quote(table.name) + " (\n" + comment + join(lines, ",\n") +
           "\n)";
  }
};

CustomSQLDatabase::CustomSQLDatabase(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CustomSQLDatabase::~CustomSQLDatabase() = default;

std::shared_ptr<CustomSQLDatabase> CustomSQLDatabase::from_uri(std::string_view uri,
                                                               Options options) {
  auto impl = std::make_unique<Impl>();
  impl->uri = parse_uri(uri);
  impl->options = options;
  impl->masked = impl->uri.masked;
  // Each connection to ":memory:" would be a database of its own.
  const bool in_memory = impl->uri.engine == Engine::sqlite && impl->uri.database == ":memory:";
  impl->capacity = in_memory ? 1 : std::max<std::size_t>(1, options.pool_size);
  // The first connection now, so that a wrong address or password fails here.
  auto first = impl->connect();
  impl->dialect = first->dialect();
  impl->lexicon = first->lexicon();
  impl->idle.push_back(std::move(first));
  impl->open = 1;
  return std::shared_ptr<CustomSQLDatabase>(new CustomSQLDatabase(std::move(impl)));
}

const std::string& CustomSQLDatabase::dialect() const noexcept {
  return impl_->dialect;
}

std::string CustomSQLDatabase::masked_uri() const {
  return impl_->masked;
}

CustomSQLDatabase::PoolStatus CustomSQLDatabase::pool_status() const noexcept {
  std::lock_guard lock(impl_->mutex);
  return {impl_->open, impl_->open - impl_->idle.size(), impl_->capacity};
}

std::string CustomSQLDatabase::run(std::string_view command, std::string_view fetch,
                                   bool include_columns) {
  if (fetch != kFetchAll && fetch != kFetchOne) {
    throw ArgumentError("fetch must be \"all\" or \"one\", not \"" + std::string(fetch) + "\"");
  }
  // Refused before a connection is taken, so a refusal never waits for the pool. (MySQL's
  // reading of backslashes follows the server's sql_mode, the same for every connection.)
  check_read_only_statement(command, impl_->lexicon);
  const RenderLimits limits{impl_->options.max_rows, impl_->options.max_bytes};
  return impl_->with_connection([&](detail::Backend& backend) {
    RenderSink sink(include_columns, limits, fetch == kFetchOne);
    backend.execute(command, sink);
    return sink.finish();
  });
}

std::vector<std::string> CustomSQLDatabase::get_usable_table_names() {
  auto names =
      impl_->with_connection([](detail::Backend& backend) { return backend.table_names(); });
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

std::string CustomSQLDatabase::table_listing() {
  return join(get_usable_table_names(), ", ");
}

std::string CustomSQLDatabase::get_table_info(std::string_view comma_separated_names) {
  const std::vector<std::string> requested = split_names(comma_separated_names);
  if (requested.empty()) return {};
  return impl_->with_connection([&](detail::Backend& backend) {
    const std::vector<std::string> usable = backend.table_names();
    std::vector<std::string> resolved, unknown;
    for (const auto& name : requested) {
      if (std::find(usable.begin(), usable.end(), name) != usable.end()) {
        resolved.push_back(name);
        continue;
      }
      // A model often changes the case of a name; accept that when it is unambiguous.
      std::vector<std::string> matches;
      for (const auto& candidate : usable) {
        if (iequals(candidate, name)) matches.push_back(candidate);
      }
      if (matches.size() == 1) {
        if (std::find(resolved.begin(), resolved.end(), matches[0]) == resolved.end()) {
          resolved.push_back(matches[0]);
        }
      } else {
        unknown.push_back(name);
      }
    }
    if (!unknown.empty()) {
      throw DatabaseError("Unknown table" + std::string(unknown.size() == 1 ? "" : "s") + ": " +
                          join(unknown, ", ") + " (not a table or view of this database)");
    }
    const std::vector<detail::TableSchema> schemas = backend.describe(resolved);
    std::vector<std::string> parts;
    for (const auto& name : resolved) {
      const auto schema = std::find_if(schemas.begin(), schemas.end(),
                                       [&](const auto& s) { return s.name == name; });
      std::string text = schema != schemas.end() ? Impl::create_table_text(backend, *schema)
                                                 : "CREATE TABLE " + backend.quote(name) + " (\n)";
      const int rows = impl_->options.sample_rows;
      if (rows > 0) {
        SampleSink sink;
        try {
          backend.sample(name, rows, sink);
          text += "\n\n/*\n" + std::to_string(sink.lines().size()) + " rows from " + name +
                  " table:\n" + sink.header() + "\n";
          for (const auto& line : sink.lines()) text += line + "\n";
          text += "*/";
        } catch (const detail::ConnectionLost&) {
          throw;
        } catch (const DatabaseError& e) {
          // A table we may describe but not read: say so instead of failing the whole call.
          text += "\n\n/*\nsample rows unavailable: " + std::string(e.what()) + "\n*/";
        }
      }
      parts.push_back(std::move(text));
    }
    return join(parts, "\n\n");
  });
}

namespace detail {

Watchdog::Watchdog(Clock::time_point cancel_at, std::function<void()> cancel,
                   Clock::time_point abandon_at, std::function<void()> abandon) {
  thread_ = std::thread(
      [this, cancel_at, abandon_at, cancel = std::move(cancel), abandon = std::move(abandon)] {
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, cancel_at, [&] { return done_; })) return;
        cancelled_ = true;
        lock.unlock();
        cancel();
        lock.lock();
        if (wake_.wait_until(lock, abandon_at, [&] { return done_; })) return;
        abandoned_ = true;
        lock.unlock();
        abandon();
      });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

Watchdog::Clock::time_point cancel_time(Watchdog::Clock::time_point started, const Options& o) {
  return started + o.statement_timeout + o.timeout_grace / 2;
}

Watchdog::Clock::time_point abandon_time(Watchdog::Clock::time_point started, const Options& o) {
  return started + o.statement_timeout + o.timeout_grace * 3 / 4;
}

DatabaseError timed_out(const Options& options) {
  return DatabaseError("Statement timed out after " +
                           std::to_string(options.statement_timeout.count()) +
                           " ms and was stopped",
                       "57014", true);
}

void run_watched(Watchdog::Clock::time_point started, const Options& options,
                 const std::function<void()>& statement, std::function<void()> cancel,
                 std::function<void()> abandon, const std::function<void()>& drop,
                 const std::function<void()>& reset) {
  std::exception_ptr error;
  bool lost = false, cancelled = false, abandoned = false;
  {
    Watchdog dog(cancel_time(started, options), std::move(cancel), abandon_time(started, options),
                 std::move(abandon));
    try {
      statement();
    } catch (const ConnectionLost&) {
      lost = true;
      error = std::current_exception();
    } catch (...) {
      error = std::current_exception();
    }
    cancelled = dog.cancelled();
    abandoned = dog.abandoned();
  }
  if (abandoned) {
    drop();
    throw timed_out(options);
  }
  if (lost) {
    drop();
    try {
      std::rethrow_exception(error);
    } catch (const ConnectionLost& e) {
      throw DatabaseError(std::string(e.what()) + " (while the statement ran; not run again)",
                          e.sqlstate(), true);
    }
  }
  reset();
  if (cancelled && error) throw timed_out(options);
  if (error) std::rethrow_exception(error);
}

bool idle_socket_healthy(int fd) noexcept {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const int ready = ::poll(&p, 1, 0);
  return ready == 0;  // readable, closed or failed: not an idle connection any more
}

std::string quote_with(std::string_view identifier, char open, char close) {
  std::string out(1, open);
  for (char c : identifier) {
    out += c;
    if (c == close) out += c;
  }
  out += close;
  return out;
}

}  // namespace detail
}  // namespace norvex::sql

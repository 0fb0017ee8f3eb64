#include "norvex/graph/state_graph.hpp"
#include "norvex/base/output.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "norvex/error.hpp"

namespace norvex::graph {
namespace {

constexpr int kEndIndex = -1;

thread_local const RunnableConfig* tl_current_config = nullptr;

// Makes `config` the thread's current run configuration for the life of the scope; nested
// runs (a node that invokes another graph) restore the outer one when they end.
class ConfigScope {
 public:
  explicit ConfigScope(const RunnableConfig* config) noexcept : previous_(tl_current_config) {
    tl_current_config = config;
  }
  ~ConfigScope() { tl_current_config = previous_; }
  ConfigScope(const ConfigScope&) = delete;
  ConfigScope& operator=(const ConfigScope&) = delete;

 private:
  const RunnableConfig* previous_;
};

bool is_reserved(std::string_view name) {
  return name == END || name == START;
}

std::string in_quotes(std::string_view name) {
  return "'" + std::string(name) + "'";
}

// Collects the first error of a step's concurrent nodes (first in time) and tells the
// workers to stop picking up nodes that have not started.
class StepFailure {
 public:
  void record(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    failed_.store(true, std::memory_order_relaxed);
  }
  [[nodiscard]] bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
  void rethrow_if_failed() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
};

}  // namespace

const RunnableConfig* current_config() noexcept {
  return tl_current_config;
}

Runnable::~Runnable() = default;

// ---- the frozen graph and its step loop ----

struct CompiledGraph::Impl {
  struct Branch {
    Condition condition;
    std::map<std::string, int, std::less<>> routes;  // label -> node; kEndIndex = END
  };
  struct Node {
    std::string name;
    Action action;
    std::vector<int> fixed;  // targets in declared order; kEndIndex = END
    std::vector<Branch> branches;
  };

  std::shared_ptr<const StateSchema> schema;
  std::vector<Node> nodes;
  int entry = 0;

  Json run(const Json& input, const RunnableConfig& config) const;
  std::vector<Update> run_step(const std::vector<int>& triggered, const State& snapshot,
                               const RunnableConfig& config, int step) const;
  Update run_node(const Node& node, const State& snapshot, const RunnableConfig& config,
                  int step) const;
  void check_conflicts(const std::vector<int>& triggered, const std::vector<Update>& updates) const;
  void route(const Node& node, const State& snapshot, const Update& update, std::vector<int>& next,
             std::vector<char>& seen) const;
  DrawableGraph drawing() const;
};

Json CompiledGraph::Impl::run(const Json& input, const RunnableConfig& config) const {
  if (!input.is_object()) {
    throw ArgumentError(std::string("graph input must be a JSON object, got ") + input.type_name());
  }
  if (config.max_concurrency && *config.max_concurrency < 1) {
    throw ArgumentError("max_concurrency must be at least 1, got " +
                        std::to_string(*config.max_concurrency));
  }
  const ConfigScope scope(&config);
  State state(schema, input);

  std::vector<int> triggered{entry};
  std::vector<int> next;
  std::vector<char> seen(nodes.size());
  for (int step = 1; !triggered.empty(); ++step) {
    if (step > config.recursion_limit) throw RecursionLimitError(config.recursion_limit);
    const std::vector<Update> updates = run_step(triggered, state, config, step);
    check_conflicts(triggered, updates);

    next.clear();
    std::fill(seen.begin(), seen.end(), 0);
    for (std::size_t i = 0; i < triggered.size(); ++i) {
      route(nodes[triggered[i]], state, updates[i], next, seen);
    }
    // Replacements stand for in-place edits made while the step ran, so they come first.
    for (const auto& update : updates) state.apply_replacements(update);
    for (const auto& update : updates) state.apply_values(update);
    triggered.swap(next);
  }
  return state.to_json();
}

std::vector<Update> CompiledGraph::Impl::run_step(const std::vector<int>& triggered,
                                                  const State& snapshot,
                                                  const RunnableConfig& config, int step) const {
  const std::size_t count = triggered.size();
  std::vector<Update> updates(count);
  std::size_t workers = count;
  if (config.max_concurrency) {
    workers = std::min(workers, static_cast<std::size_t>(*config.max_concurrency));
  }
  // The common case, one node per step, runs on the calling thread without any thread.
  if (workers <= 1) {
    for (std::size_t i = 0; i < count; ++i) {
      updates[i] = run_node(nodes[triggered[i]], snapshot, config, step);
    }
    return updates;
  }

  StepFailure failure;
  std::atomic<std::size_t> next_index{0};
  // Nodes print for the caller's run wherever they run: helpers take the caller's sink.
  const base::OutputSink output = base::current_output();
  auto work = [&]() noexcept {
    const base::ScopedOutput scope(output);
    while (!failure.failed()) {
      const std::size_t i = next_index.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      try {
        updates[i] = run_node(nodes[triggered[i]], snapshot, config, step);
      } catch (...) {
        failure.record(std::current_exception());
      }
    }
  };
  {
    // The calling thread is one of the workers; the cap counts it.
    std::vector<std::jthread> helpers;
    helpers.reserve(workers - 1);
    for (std::size_t k = 1; k < workers; ++k) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // fewer threads only means less parallelism
      }
    }
    work();
  }  // joins every helper before the step's outcome is looked at
  failure.rethrow_if_failed();
  return updates;
}

Update CompiledGraph::Impl::run_node(const Node& node, const State& snapshot,
                                     const RunnableConfig& config, int step) const {
  const ConfigScope scope(&config);
  const Observer& observer = config.observer;
  if (observer) {
    NodeEvent event;
    event.kind = NodeEvent::Kind::start;
    event.node = node.name;
    event.step = step;
    event.config = &config;
    observer(event);
  }
  const auto started = std::chrono::steady_clock::now();
  Update update;
  try {
    update = node.action(snapshot);
  } catch (...) {
    if (observer) {
      NodeEvent event;
      event.kind = NodeEvent::Kind::error;
      event.node = node.name;
      event.step = step;
      event.duration = std::chrono::steady_clock::now() - started;
      event.error = std::current_exception();
      event.config = &config;
      try {
        observer(event);
      } catch (...) {
        // The node's own error is the one the caller must see.
      }
    }
    throw;
  }
  if (observer) {
    NodeEvent event;
    event.kind = NodeEvent::Kind::finish;
    event.node = node.name;
    event.step = step;
    event.update = &update;
    event.duration = std::chrono::steady_clock::now() - started;
    event.config = &config;
    observer(event);
  }
  return update;
}

void CompiledGraph::Impl::check_conflicts(const std::vector<int>& triggered,
                                          const std::vector<Update>& updates) const {
  if (updates.size() < 2) return;
  std::vector<int> writer(schema->size(), -1);
  std::vector<int> replacer(schema->size(), -1);
  // Appends and additions of one step combine; only overwrites and replacements collide.
  auto claim = [&](std::vector<int>& owners, const std::string& field, std::size_t i,
                   const char* what, bool overwrite_only) {
    const auto index = schema->find(field);
    if (!index) return;
    if (overwrite_only && schema->rule(*index) != MergeRule::overwrite) return;
    int& owner = owners[*index];
    if (owner >= 0) {
      throw ValueError("nodes " + in_quotes(nodes[triggered[owner]].name) + " and " +
                       in_quotes(nodes[triggered[i]].name) + " both " + what + " " +
                       in_quotes(field) + " in one step");
    }
    owner = static_cast<int>(i);
  };
  for (std::size_t i = 0; i < updates.size(); ++i) {
    for (const auto& entry : updates[i].values()) {
      claim(writer, entry.field, i, "write overwrite field", true);
    }
    for (const auto& entry : updates[i].replacements()) {
      claim(replacer, entry.field, i, "replace the last element of", false);
    }
  }
}

void CompiledGraph::Impl::route(const Node& node, const State& snapshot, const Update& update,
                                std::vector<int>& next, std::vector<char>& seen) const {
  auto trigger = [&](int target) {
    if (target == kEndIndex || seen[target]) return;
    seen[target] = 1;
    next.push_back(target);
  };
  for (const int target : node.fixed) trigger(target);
  if (node.branches.empty()) return;

  // A condition sees the snapshot with only its own node's update merged.
  std::optional<State> merged;
  const State* view = &snapshot;
  if (!update.empty()) {
    merged.emplace(snapshot);
    merged->merge(update);
    view = &*merged;
  }
  for (const auto& branch : node.branches) {
    const std::string label = branch.condition(*view);
    const auto it = branch.routes.find(label);
    if (it == branch.routes.end()) {
      std::string known;
      for (const auto& [name, target] : branch.routes) {
        known += (known.empty() ? "" : ", ") + in_quotes(name);
      }
      throw ValueError("route label " + in_quotes(label) + " returned by the condition of node " +
                       in_quotes(node.name) + " is not in its path map (known labels: " + known +
                       ")");
    }
    trigger(it->second);
  }
}

DrawableGraph CompiledGraph::Impl::drawing() const {
  std::vector<std::string> names;
  names.reserve(nodes.size() + 2);
  names.emplace_back(START);
  for (const auto& node : nodes) names.push_back(node.name);

  std::vector<DrawableEdge> edges;
  edges.push_back({std::string(START), nodes[entry].name, false, {}});
  bool reaches_end = false;
  auto target_name = [&](int target) {
    if (target == kEndIndex) {
      reaches_end = true;
      return std::string(END);
    }
    return nodes[target].name;
  };
  for (const auto& node : nodes) {
    for (const int target : node.fixed) {
      edges.push_back({node.name, target_name(target), false, {}});
    }
    for (const auto& branch : node.branches) {
      for (const auto& [label, target] : branch.routes) {
        edges.push_back({node.name, target_name(target), true, label});
      }
    }
  }
  if (reaches_end) names.emplace_back(END);
  return DrawableGraph(std::move(names), std::move(edges));
}

// ---- CompiledGraph ----

CompiledGraph::CompiledGraph(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

const CompiledGraph::Impl& CompiledGraph::impl() const {
  if (!impl_) throw ValueError("the graph is empty: it was not made by StateGraph::compile()");
  return *impl_;
}

Json CompiledGraph::invoke(const Json& input, const RunnableConfig& config) const {
  return impl().run(input, config);
}

DrawableGraph::DrawableGraph(std::vector<std::string> nodes, std::vector<DrawableEdge> edges)
    : nodes_(std::move(nodes)), edges_(std::move(edges)) {}

DrawableGraph CompiledGraph::get_graph() const {
  return impl().drawing();
}

std::shared_ptr<const StateSchema> CompiledGraph::schema() const noexcept {
  return impl_ ? impl_->schema : nullptr;
}

// ---- StateGraph ----

StateGraph::StateGraph(StateSchema schema)
    : schema_(std::make_shared<const StateSchema>(std::move(schema))) {}

StateGraph& StateGraph::add_node(std::string name, Action action) {
  if (name.empty()) throw ValueError("a node needs a name");
  if (is_reserved(name)) throw ValueError("node name " + in_quotes(name) + " is reserved");
  if (!action) throw ArgumentError("node " + in_quotes(name) + " needs an action");
  for (const auto& node : nodes_) {
    if (node.name == name) throw ValueError("node " + in_quotes(name) + " is already present");
  }
  nodes_.push_back({std::move(name), std::move(action)});
  return *this;
}

StateGraph& StateGraph::add_node(std::string name, std::shared_ptr<Runnable> runnable) {
  if (!runnable) throw ArgumentError("node " + in_quotes(name) + " needs a runnable");
  return add_node(std::move(name), Action([runnable = std::move(runnable)](const State& state) {
                    return runnable->invoke(state);
                  }));
}

StateGraph& StateGraph::add_edge(std::string source, std::string target) {
  if (source == START) return set_entry_point(std::move(target));
  std::pair<std::string, std::string> edge{std::move(source), std::move(target)};
  // Fixed edges form a set: declaring one twice changes nothing.
  if (std::find(edges_.begin(), edges_.end(), edge) == edges_.end()) {
    edges_.push_back(std::move(edge));
  }
  return *this;
}

StateGraph& StateGraph::add_conditional_edges(std::string source, Condition condition,
                                              std::map<std::string, std::string> path_map) {
  if (!condition) {
    throw ArgumentError("the conditional edges of " + in_quotes(source) + " need a condition");
  }
  if (path_map.empty()) {
    throw ArgumentError("the conditional edges of " + in_quotes(source) + " need a path map");
  }
  branches_.push_back({std::move(source), std::move(condition), std::move(path_map)});
  return *this;
}

StateGraph& StateGraph::set_entry_point(std::string name) {
  entry_point_ = std::move(name);
  return *this;
}

CompiledGraph StateGraph::compile() const {
  std::unordered_map<std::string_view, int> index;
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    index.emplace(nodes_[i].name, static_cast<int>(i));
  }
  auto node_index = [&](std::string_view name) -> std::optional<int> {
    const auto it = index.find(name);
    if (it == index.end()) return std::nullopt;
    return it->second;
  };
  auto target_index = [&](std::string_view target, const std::string& where) {
    if (target == END) return kEndIndex;
    if (const auto i = node_index(target)) return *i;
    throw ValueError(where + ": target " + in_quotes(target) + " is neither a node nor " +
                     std::string(END));
  };

  if (!entry_point_) throw ValueError("the graph has no entry point");
  const auto entry = node_index(*entry_point_);
  if (!entry) throw ValueError("entry point " + in_quotes(*entry_point_) + " is not a node");

  auto impl = std::make_shared<CompiledGraph::Impl>();
  impl->schema = schema_;
  impl->entry = *entry;
  impl->nodes.reserve(nodes_.size());
  for (const auto& node : nodes_) impl->nodes.push_back({node.name, node.action, {}, {}});

  for (const auto& [source, target] : edges_) {
    const auto from = node_index(source);
    if (!from) throw ValueError("edge source " + in_quotes(source) + " is not a node");
    impl->nodes[*from].fixed.push_back(target_index(target, "edge from " + in_quotes(source)));
  }
  for (const auto& branch : branches_) {
    const auto from = node_index(branch.source);
    if (!from) {
      throw ValueError("conditional edge source " + in_quotes(branch.source) + " is not a node");
    }
    CompiledGraph::Impl::Branch compiled{branch.condition, {}};
    for (const auto& [label, target] : branch.path_map) {
      compiled.routes.emplace(label, target_index(target, "route " + in_quotes(label) + " from " +
                                                              in_quotes(branch.source)));
    }
    impl->nodes[*from].branches.push_back(std::move(compiled));
  }
  return CompiledGraph(std::move(impl));
}

}  // namespace norvex::graph

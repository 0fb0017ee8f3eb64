#pragma once
/// The state-graph engine: a builder of named nodes, fixed and conditional edges and an entry
/// point (StateGraph), and the immutable compiled graph that runs it in synchronous steps
/// (CompiledGraph).

#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

#include "norvex/graph/drawable_graph.hpp"
#include "norvex/graph/state.hpp"

namespace norvex::graph {

/// The reserved edge target that names no node: an edge to it starts nothing.
inline constexpr std::string_view END = "__end__";
/// The marker drawn before the entry node; no node may take this name either.
inline constexpr std::string_view START = "__start__";

/// A node action: reads the step's snapshot, returns the update to merge.
using Action = std::function<Update(const State&)>;
/// A routing function: reads the state and returns a route label of its path map.
using Condition = std::function<std::string(const State&)>;

/// A node implemented as an object (the pipeline's stage classes).
/// Thread rule: invoke() may be called from several threads at once (concurrent runs).
class NORVEX_API Runnable {
 public:
  virtual ~Runnable();
  /// Computes the node's update from a read-only snapshot; errors end the run unchanged.
  virtual Update invoke(const State& state) = 0;
};

struct RunnableConfig;

/// What the observer hook is told about one node of a run; its pointers and views are valid
/// only during the observer call.
struct NORVEX_API NodeEvent {
  enum class Kind { start, finish, error };
  Kind kind = Kind::start;
  std::string_view node;
  int step = 0;                          ///< 1 for the entry node's step
  const Update* update = nullptr;        ///< finish only
  std::chrono::nanoseconds duration{0};  ///< finish and error: time spent in the action
  std::exception_ptr error;              ///< error only
  const RunnableConfig* config = nullptr;
};

/// Called on the thread that runs the node, so it may be called concurrently for the nodes
/// of one step. An exception it throws on start or finish fails the node; on error it is
/// ignored.
using Observer = std::function<void(const NodeEvent&)>;

/// Settings of one run.
/// Thread rule: read-only while a run uses it; its observer must tolerate concurrent calls.
struct NORVEX_API RunnableConfig {
  int recursion_limit = 25;            ///< the most steps one run may take
  std::optional<int> max_concurrency;  ///< most nodes of a step at once; none = no limit
  std::vector<std::string> tags;       ///< for tracing; no effect on results
  std::optional<Json> metadata;        ///< for tracing; no effect on results
  Observer observer;                   ///< optional per-node hook
};

/// The configuration of the run this thread is working for (its node actions and conditions),
/// or nullptr outside any run. Model calls made inside a node read tags and metadata from it.
NORVEX_API const RunnableConfig* current_config() noexcept;

class CompiledGraph;

/// Builder of a graph over one state schema.
/// Thread rule: not synchronised; build on one thread, then compile.
class NORVEX_API StateGraph {
 public:
  explicit StateGraph(StateSchema schema);

  /// Registers a node. Throws ValueError for a duplicate or empty name or a name of
  /// END/START, ArgumentError for an empty action.
  StateGraph& add_node(std::string name, Action action);
  /// Registers a node whose action is `runnable->invoke`. Throws as the other overload, and
  /// ArgumentError for a null runnable.
  StateGraph& add_node(std::string name, std::shared_ptr<Runnable> runnable);
  /// Whenever `source` has run, `target` (a node or END) runs in the next step. An edge from
  /// START sets the entry point. Names are checked by compile().
  StateGraph& add_edge(std::string source, std::string target);
  /// Whenever `source` has run, `condition` picks a route label and the node it maps to runs
  /// in the next step. Throws ArgumentError for an empty condition or path map.
  StateGraph& add_conditional_edges(std::string source, Condition condition,
                                    std::map<std::string, std::string> path_map);
  /// The node that runs in the first step.
  StateGraph& set_entry_point(std::string name);

  /// Freezes a copy of the graph. Throws ValueError naming the offender when the entry point
  /// is unset or no node, an edge source is no node, or a target is neither a node nor END.
  [[nodiscard]] CompiledGraph compile() const;

 private:
  struct Node {
    std::string name;
    Action action;
  };
  struct Branch {
    std::string source;
    Condition condition;
    std::map<std::string, std::string> path_map;
  };
  std::shared_ptr<const StateSchema> schema_;
  std::vector<Node> nodes_;
  std::vector<std::pair<std::string, std::string>> edges_;
  std::vector<Branch> branches_;
  std::optional<std::string> entry_point_;
};

/// A frozen graph; copies share it.
/// Thread rule: immutable; any number of concurrent invoke() calls are safe.
class NORVEX_API CompiledGraph {
 public:
  /// An empty graph, to be assigned a compiled one; its operations throw ValueError.
  CompiledGraph() = default;

  /// Runs the graph on `input` (an object of field values, merged by the field rules; keys
  /// that are not fields are ignored) and returns the final state's present fields.
  /// Throws ArgumentError for a non-object input or a max_concurrency below 1,
  /// RecursionLimitError when a run needs more steps than the limit, ValueError for a route
  /// label missing from its path map, a conflicting or rule-breaking update; an error raised
  /// by a node or a condition propagates unchanged.
  [[nodiscard]] Json invoke(const Json& input, const RunnableConfig& config = {}) const;

  /// The nodes and edges for drawing, with start and end markers.
  [[nodiscard]] DrawableGraph get_graph() const;
  /// The schema the graph's states follow (null for an empty graph).
  [[nodiscard]] std::shared_ptr<const StateSchema> schema() const noexcept;

 private:
  friend class StateGraph;
  struct Impl;
  explicit CompiledGraph(std::shared_ptr<const Impl> impl);
  const Impl& impl() const;
  std::shared_ptr<const Impl> impl_;
};

}  // namespace norvex::graph

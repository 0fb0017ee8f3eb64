#pragma once
/// A drawable description of a compiled graph: nodes with start and end markers, fixed and
/// conditional edges, rendered as text, as Mermaid flowchart text, or as a PNG image.
///
/// The engine (norvex::graph) builds the description; the drawing functions are defined in
/// norvex::drawing, which a program that draws links (so that the engine itself needs no
/// Graphviz, image or HTTP library).

#include <iostream>
#include <string>
#include <string_view>
#include <vector>
#include "norvex/base/export.hpp"

namespace norvex::graph {

/// One arrow of the drawing. Conditional edges carry the route label that selects them.
struct NORVEX_API DrawableEdge {
  std::string source;
  std::string target;
  bool conditional = false;
  std::string label;

  friend bool operator==(const DrawableEdge&, const DrawableEdge&) = default;
};

/// How draw_mermaid_png() renders: through a Mermaid rendering service over HTTP (API), or
/// offline with Graphviz (LOCAL).
enum class MermaidDrawMethod { API, LOCAL };

/// Environment variable naming the base address of the Mermaid rendering service.
inline constexpr std::string_view kMermaidUrlVariable = "NORVEX_MERMAID_URL";
/// The public Mermaid rendering service, used when the variable is unset or empty.
inline constexpr std::string_view kDefaultMermaidUrl = "https://mermaid.ink";

/// Thread rule: immutable; safe to use from any number of threads (PNG rendering with
/// Graphviz is serialised internally).
class NORVEX_API DrawableGraph {
 public:
  DrawableGraph() = default;
  /// `nodes` in drawing order (markers included), `edges` in drawing order.
  DrawableGraph(std::vector<std::string> nodes, std::vector<DrawableEdge> edges);

  [[nodiscard]] const std::vector<std::string>& nodes() const noexcept { return nodes_; }
  [[nodiscard]] const std::vector<DrawableEdge>& edges() const noexcept { return edges_; }

  /// Writes draw_ascii() to `out`.
  void print_ascii(std::ostream& out = std::cout) const;
  /// A text drawing: each node as a box followed by its outgoing edges, in breadth-first
  /// order from the start marker; fixed edges `───▶`, conditional edges `┄┄▶ ... [label]`.
  [[nodiscard]] std::string draw_ascii() const;
  /// Mermaid flowchart text: fixed edges `-->`, conditional edges `-.->|label|`.
  [[nodiscard]] std::string draw_mermaid() const;
  /// PNG bytes of the drawing. API: GET {base}/img/{base64url(draw_mermaid())}?type=png,
  /// base from NORVEX_MERMAID_URL (default the public service); throws norvex::Error for a
  /// transport failure, a non-200 answer (retryable for 429 and 5xx) or a body that is not a
  /// PNG. LOCAL: rendered with Graphviz; throws norvex::Error when Graphviz fails.
  [[nodiscard]] std::string draw_mermaid_png(
      MermaidDrawMethod method = MermaidDrawMethod::API) const;

 private:
  [[nodiscard]] std::string draw_dot() const;
  [[nodiscard]] std::string render_api() const;
  [[nodiscard]] std::string render_local() const;

  std::vector<std::string> nodes_;
  std::vector<DrawableEdge> edges_;
};

}  // namespace norvex::graph

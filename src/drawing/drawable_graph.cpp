// Text renderings of a graph: the boxed text drawing, Mermaid flowchart text and the DOT text
// that the offline PNG renderer lays out.
#include "norvex/graph/drawable_graph.hpp"

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "norvex/graph/state_graph.hpp"

namespace norvex::graph {
namespace {

constexpr std::string_view kFixedArrow = "───▶";
constexpr std::string_view kConditionalArrow = "┄┄▶";
constexpr std::string_view kAsciiLegend =
    "Legend: ───▶ fixed edge   ┄┄▶ conditional edge [route label]\n";

bool is_marker(std::string_view name) {
  return name == START || name == END;
}

// Columns a text takes on a terminal: one per code point (UTF-8 continuation bytes excluded).
std::size_t display_width(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Markers get rounded corners so they stand apart from nodes.
void draw_box(std::ostringstream& out, std::string_view name, std::size_t inner_width) {
  const bool marker = is_marker(name);
  const std::string bar = repeat("─", inner_width + 2);
  out << (marker ? "╭" : "┌") << bar << (marker ? "╮" : "┐") << '\n';
  out << "│ " << name << std::string(inner_width - display_width(name), ' ') << " │\n";
  out << (marker ? "╰" : "└") << bar << (marker ? "╯" : "┘") << '\n';
}

// Nodes in breadth-first order from the start marker, then any node no edge reaches, with
// the end marker last.
std::vector<std::string> drawing_order(const std::vector<std::string>& nodes,
                                       const std::vector<DrawableEdge>& edges) {
  std::unordered_map<std::string_view, std::vector<std::string_view>> successors;
  for (const auto& edge : edges) successors[edge.source].push_back(edge.target);

  std::vector<std::string> order;
  std::set<std::string_view> placed;
  std::deque<std::string_view> queue;
  const bool has_start = std::find(nodes.begin(), nodes.end(), START) != nodes.end();
  if (has_start) {
    queue.push_back(START);
    placed.insert(START);
  }
  placed.insert(END);
  while (!queue.empty()) {
    const std::string_view name = queue.front();
    queue.pop_front();
    order.emplace_back(name);
    for (const auto next : successors[name]) {
      if (placed.insert(next).second) queue.push_back(next);
    }
  }
  for (const auto& name : nodes) {
    if (placed.insert(name).second) order.push_back(name);
  }
  if (std::find(nodes.begin(), nodes.end(), END) != nodes.end()) order.emplace_back(END);
  return order;
}

// Mermaid ids must be plain words and must not be keywords of its grammar.
bool usable_mermaid_id(const std::string& name) {
  static const std::set<std::string> reserved = {"end",       "graph",   "flowchart", "subgraph",
                                                 "style",     "class",   "click",     "classdef",
                                                 "linkstyle", "default", "call",      "href"};
  if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) {
    return false;
  }
  for (const char c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return !reserved.contains(lower);
}

// Mermaid entity codes keep quotes and '#' from ending or changing a quoted label.
std::string mermaid_text(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '#':
        out += "#35;";
        break;
      case '"':
        out += "#quot;";
        break;
      case '\n':
        out += ' ';
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string dot_quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + '"';
}

}  // namespace

void DrawableGraph::print_ascii(std::ostream& out) const {
  out << draw_ascii() << std::flush;
}

std::string DrawableGraph::draw_ascii() const {
  std::size_t width = 0;
  for (const auto& name : nodes_) width = std::max(width, display_width(name));

  std::ostringstream out;
  out << kAsciiLegend;
  for (const auto& name : drawing_order(nodes_, edges_)) {
    out << '\n';
    draw_box(out, name, width);
    std::vector<const DrawableEdge*> outgoing;
    std::size_t target_width = 0;
    for (const auto& edge : edges_) {
      if (edge.source != name) continue;
      outgoing.push_back(&edge);
      target_width = std::max(target_width, display_width(edge.target));
    }
    if (outgoing.empty() && !is_marker(name)) out << "  (no outgoing edges)\n";
    for (std::size_t i = 0; i < outgoing.size(); ++i) {
      const DrawableEdge& edge = *outgoing[i];
      out << "  " << (i + 1 == outgoing.size() ? "└" : "├")
          << (edge.conditional ? kConditionalArrow : kFixedArrow) << ' ' << edge.target;
      if (edge.conditional) {
        out << std::string(target_width - display_width(edge.target), ' ') << "  [" << edge.label
            << ']';
      }
      out << '\n';
    }
  }
  return out.str();
}

std::string DrawableGraph::draw_mermaid() const {
  std::map<std::string, std::string> ids;
  std::set<std::string> used;
  for (const auto& name : nodes_) {
    if (usable_mermaid_id(name)) used.insert(name);
  }
  std::size_t counter = 0;
  for (const auto& name : nodes_) {
    if (usable_mermaid_id(name)) {
      ids[name] = name;
      continue;
    }
    std::string id;
    do {
      id = "node_" + std::to_string(counter++);
    } while (used.contains(id));
    used.insert(id);
    ids[name] = id;
  }
  auto id_of = [&](const std::string& name) -> const std::string& {
    auto it = ids.find(name);
    if (it == ids.end()) it = ids.emplace(name, name).first;  // an edge to an undeclared node
    return it->second;
  };

  std::ostringstream out;
  out << "flowchart TD\n";
  for (const auto& name : nodes_) {
    const bool marker = is_marker(name);
    out << "    " << id_of(name) << (marker ? "([\"" : "[\"") << mermaid_text(name)
        << (marker ? "\"])" : "\"]") << '\n';
  }
  for (const auto& edge : edges_) {
    out << "    " << id_of(edge.source);
    if (edge.conditional) {
      out << " -.->|\"" << mermaid_text(edge.label) << "\"| ";
    } else {
      out << " --> ";
    }
    out << id_of(edge.target) << '\n';
  }
  std::string markers;
  for (const auto& name : nodes_) {
    if (is_marker(name)) markers += (markers.empty() ? "" : ",") + id_of(name);
  }
  out << "    classDef default fill:#eef2ff,stroke:#4f5b93\n";
  if (!markers.empty()) {
    out << "    classDef marker fill:#e6e6e6,stroke:#777777\n";
    out << "    class " << markers << " marker\n";
  }
  return out.str();
}

std::string DrawableGraph::draw_dot() const {
  std::ostringstream out;
  out << "digraph norvex {\n"
         "  graph [rankdir=TB, fontname=\"Helvetica\", bgcolor=\"white\"];\n"
         "  node [shape=box, style=\"rounded,filled\", fillcolor=\"#eef2ff\", "
         "color=\"#4f5b93\", fontname=\"Helvetica\"];\n"
         "  edge [fontname=\"Helvetica\", fontsize=10];\n";
  for (const auto& name : nodes_) {
    out << "  " << dot_quoted(name);
    if (is_marker(name)) out << " [shape=ellipse, fillcolor=\"#e6e6e6\", color=\"#777777\"]";
    out << ";\n";
  }
  for (const auto& edge : edges_) {
    out << "  " << dot_quoted(edge.source) << " -> " << dot_quoted(edge.target);
    if (edge.conditional) out << " [style=dotted, label=" << dot_quoted(edge.label) << "]";
    out << ";\n";
  }
  out << "}\n";
  return out.str();
}

}  // namespace norvex::graph

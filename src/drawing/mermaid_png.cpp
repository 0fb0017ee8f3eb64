// PNG renderings of a graph: through a Mermaid rendering service over HTTP, or offline with
// Graphviz.
#include <gvc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "norvex/error.hpp"
#include "norvex/graph/drawable_graph.hpp"
#include "norvex/http/client.hpp"

namespace norvex::graph {
namespace {

constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";
constexpr std::size_t kQuotedBodyLimit = 200;

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* handle) const noexcept {
    Free(handle);
  }
};

using ContextPtr = std::unique_ptr<GVC_t, Deleter<&gvFreeContext>>;
using GraphPtr = std::unique_ptr<Agraph_t, Deleter<&agclose>>;
using RenderDataPtr = std::unique_ptr<char, Deleter<&gvFreeRenderData>>;

// Undoes gvLayout before the graph is closed.
class LayoutGuard {
 public:
  LayoutGuard(GVC_t* context, Agraph_t* graph) noexcept : context_(context), graph_(graph) {}
  ~LayoutGuard() { gvFreeLayout(context_, graph_); }
  LayoutGuard(const LayoutGuard&) = delete;
  LayoutGuard& operator=(const LayoutGuard&) = delete;

 private:
  GVC_t* context_;
  Agraph_t* graph_;
};

// Graphviz keeps process-wide state (error channel, plugin registry): one rendering at a time.
std::mutex& graphviz_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Graphviz's messages, collected while the mutex is held instead of going to stderr.
std::string& graphviz_messages() {
  static std::string messages;
  return messages;
}

int collect_graphviz_message(char* text) {
  graphviz_messages() += text;
  return 0;
}

// Routes Graphviz's messages into graphviz_messages() for the life of the scope.
class MessageCapture {
 public:
  MessageCapture() : previous_(agseterrf(&collect_graphviz_message)) {
    graphviz_messages().clear();
  }
  ~MessageCapture() { agseterrf(previous_); }
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  [[nodiscard]] static std::string text() {
    std::string text = graphviz_messages();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.empty() ? std::string("no message") : text;
  }

 private:
  agusererrf previous_;
};

std::string base64url(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  auto byte = [&](std::size_t i) -> unsigned {
    return i < data.size() ? static_cast<unsigned char>(data[i]) : 0U;
  };
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const unsigned n = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    const std::size_t present = std::min<std::size_t>(3, data.size() - i);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += present > 1 ? kAlphabet[(n >> 6) & 63] : '=';
    out += present > 2 ? kAlphabet[n & 63] : '=';
  }
  return out;
}

std::string mermaid_base_url() {
  const char* configured = std::getenv(std::string(kMermaidUrlVariable).c_str());
  std::string base =
      configured != nullptr && *configured != '\0' ? configured : std::string(kDefaultMermaidUrl);
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string quoted_body(std::string_view body) {
  std::string out;
  for (const char c : body.substr(0, kQuotedBodyLimit)) {
    out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
  }
  if (body.size() > kQuotedBodyLimit) out += "...";
  return out;
}

bool is_png(std::string_view bytes) {
  return bytes.starts_with(kPngSignature);
}

}  // namespace

std::string DrawableGraph::draw_mermaid_png(MermaidDrawMethod method) const {
  return method == MermaidDrawMethod::LOCAL ? render_local() : render_api();
}

std::string DrawableGraph::render_api() const {
  const std::string base = mermaid_base_url();
  http::Request request;
  request.url = base + "/img/" + base64url(draw_mermaid()) + "?type=png";
  request.headers.emplace_back("Accept", "image/png");
  http::Response response = http::perform(request);

  if (response.status != 200) {
    const bool retryable = response.status == 429 || response.status >= 500;
    throw Error("the Mermaid rendering service at " + http::origin_of(base) + " answered HTTP " +
                    std::to_string(response.status) + ": " + quoted_body(response.body),
                retryable);
  }
  if (!is_png(response.body)) {
    const auto type = response.header("Content-Type");
    throw Error("the Mermaid rendering service at " + http::origin_of(base) +
                " answered with no PNG image (Content-Type: " + type.value_or("none") + ")");
  }
  return std::move(response.body);
}

std::string DrawableGraph::render_local() const {
  const std::string dot = draw_dot();
  const std::lock_guard lock(graphviz_mutex());
  const MessageCapture capture;

  const ContextPtr context(gvContext());
  if (!context) throw Error("Graphviz could not start: " + MessageCapture::text());
  const GraphPtr graph(agmemread(dot.c_str()));
  if (!graph) throw Error("Graphviz could not read the graph: " + MessageCapture::text());
  if (gvLayout(context.get(), graph.get(), "dot") != 0) {
    throw Error("Graphviz could not lay out the graph: " + MessageCapture::text());
  }
  const LayoutGuard layout(context.get(), graph.get());

  char* raw = nullptr;
  unsigned int length = 0;
  const int rc = gvRenderData(context.get(), graph.get(), "png", &raw, &length);
  const RenderDataPtr data(raw);
  if (rc != 0 || raw == nullptr || length == 0) {
    throw Error("Graphviz could not render the graph as PNG: " + MessageCapture::text());
  }
  return std::string(raw, length);
}

}  // namespace norvex::graph

#include "norvex/http/client.hpp"
#include "norvex/base/text.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace norvex::http {
namespace {

using base::iequals;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* handle) const noexcept {
    if (handle != nullptr) Free(handle);
  }
};
using EasyHandle = std::unique_ptr<CURL, Deleter<CURL, curl_easy_cleanup>>;
using HeaderList = std::unique_ptr<curl_slist, Deleter<curl_slist, curl_slist_free_all>>;
using UrlHandle = std::unique_ptr<CURLU, Deleter<CURLU, curl_url_cleanup>>;

struct CurlString {
  char* text = nullptr;
  ~CurlString() { curl_free(text); }
};

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct ParsedUrl {
  std::string scheme;
  std::string host;
  std::string port;
};

std::optional<ParsedUrl> parse_url(std::string_view url) {
  global_init();
  UrlHandle handle(curl_url());
  if (!handle) return std::nullopt;
  const std::string text(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
  ParsedUrl parsed;
  const auto part = [&](CURLUPart which, unsigned flags, std::string& out) {
    CurlString value;
    if (curl_url_get(handle.get(), which, &value.text, flags) != CURLUE_OK) return false;
    out = value.text;
    return true;
  };
  if (!part(CURLUPART_SCHEME, 0, parsed.scheme) || !part(CURLUPART_HOST, 0, parsed.host)) {
    return std::nullopt;
  }
  part(CURLUPART_PORT, CURLU_DEFAULT_PORT, parsed.port);
  return parsed;
}

// The thread's own handle: reused so keep-alive connections survive between requests.
CURL* thread_handle() {
  thread_local EasyHandle handle;
  if (!handle) {
    global_init();
    handle.reset(curl_easy_init());
    if (!handle) throw RequestError(ErrorCode::transport, "cannot create an HTTP client handle");
  } else {
    curl_easy_reset(handle.get());
  }
  return handle.get();
}

struct Sink {
  Response* response;
  std::size_t limit;
  bool overflow = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (sink->response->body.size() + bytes > sink->limit) {
    sink->overflow = true;
    return 0;  // aborts the transfer
  }
  sink->response->body.append(data, bytes);
  return bytes;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<Response*>(user);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (line.starts_with("HTTP/")) {
    response->headers.clear();  // a new answer (after a 1xx interim or a redirect)
    return bytes;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return bytes;
  auto trim = [](std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
  };
  response->headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                 std::string(trim(line.substr(colon + 1))));
  return bytes;
}

ErrorCode classify(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ErrorCode::bad_url;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return ErrorCode::resolve_failed;
    case CURLE_COULDNT_CONNECT:
      return ErrorCode::connect_failed;
    case CURLE_OPERATION_TIMEDOUT:
      return ErrorCode::timeout;
    default:
      return ErrorCode::transport;
  }
}

}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (iequals(key, name)) return value;
  }
  return std::nullopt;
}

bool loopback_only() {
  const char* value = std::getenv("NORVEX_LOOPBACK_ONLY");
  return value != nullptr && std::string_view(value) == "1";
}

bool is_loopback_host(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (iequals(host, "localhost") || host == "::1") return true;
  // 127.0.0.0/8 written as a dotted quad.
  if (!host.starts_with("127.")) return false;
  int parts = 0;
  int value = -1;
  for (char c : host) {
    if (c == '.') {
      if (value < 0) return false;
      ++parts;
      value = -1;
    } else if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
      value = (value < 0 ? 0 : value * 10) + (c - '0');
      if (value > 255) return false;
    } else {
      return false;
    }
  }
  return parts == 3 && value >= 0;
}

std::string origin_of(std::string_view url) {
  const auto parsed = parse_url(url);
  if (!parsed) return "<malformed address>";
  std::string origin = parsed->scheme + "://" + parsed->host;
  if (!parsed->port.empty()) origin += ":" + parsed->port;
  return origin;
}

Response perform(const Request& request) {
  const auto parsed = parse_url(request.url);
  if (!parsed || (parsed->scheme != "http" && parsed->scheme != "https")) {
    throw RequestError(ErrorCode::bad_url, "not an http(s) address: " + origin_of(request.url));
  }
  const std::string origin = origin_of(request.url);
  const bool fenced = loopback_only();
  if (fenced && !is_loopback_host(parsed->host)) {
    throw RequestError(
        ErrorCode::refused_host,
        "refused to contact " + origin + ": NORVEX_LOOPBACK_ONLY=1 allows loopback addresses only");
  }

  CURL* curl = thread_handle();
  Response response;
  Sink sink{&response, request.max_response_bytes};
  char error_text[CURL_ERROR_SIZE] = {0};

  HeaderList headers;
  const auto add_header = [&](const std::string& line) {
    curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
    if (extended == nullptr) throw RequestError(ErrorCode::transport, "out of memory");
    (void)headers.release();
    headers.reset(extended);
  };
  for (const auto& [name, value] : request.headers) add_header(name + ": " + value);
  add_header("Expect:");  // no 100-continue round trip before large bodies

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(request.connect_timeout.count()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
  if (fenced) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");  // a proxy would leave the machine

  if (request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    if (request.method != "POST")
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method == "POST" || !request.body.empty()) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
    }
  }

  const CURLcode result = curl_easy_perform(curl);
  // Unhook our buffers: the handle outlives this call.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  if (result != CURLE_OK) {
    if (sink.overflow) {
      throw RequestError(ErrorCode::too_large, "the answer of " + origin + " exceeded " +
                                                   std::to_string(request.max_response_bytes) +
                                                   " bytes");
    }
    const std::string detail = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
    throw RequestError(classify(result), "request to " + origin + " failed: " + detail);
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

}  // namespace norvex::http

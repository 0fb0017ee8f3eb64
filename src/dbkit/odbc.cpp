#include "odbc.hpp"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "norvex/dbkit/connection.hpp"
#include "norvex/error.hpp"
#include "output.hpp"

namespace norvex::dbkit::detail {
namespace {

// The driver manager's entry points that a connection test needs.
struct OdbcApi {
  decltype(&::SQLAllocHandle) alloc_handle = nullptr;
  decltype(&::SQLFreeHandle) free_handle = nullptr;
  decltype(&::SQLSetEnvAttr) set_env_attr = nullptr;
  decltype(&::SQLDriverConnect) driver_connect = nullptr;
  decltype(&::SQLDisconnect) disconnect = nullptr;
  decltype(&::SQLGetDiagRec) get_diag_rec = nullptr;
};

struct Binding {
  std::mutex mutex;
  std::string file_name{kOdbcLibrary};
  std::shared_ptr<const OdbcApi> api;  // kept for the process: drivers must not unload
};

Binding& binding() {
  static Binding instance;
  return instance;
}

std::string loader_error() {
  const char* message = dlerror();
  return message != nullptr ? message : "unknown dynamic loader error";
}

template <typename Function>
void bind_symbol(void* library, const char* name, Function& target) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) throw DatabaseError(loader_error());
  target = reinterpret_cast<Function>(symbol);
}

std::shared_ptr<const OdbcApi> bound_api() {
  auto& state = binding();
  const std::lock_guard lock(state.mutex);
  if (state.api) return state.api;
  void* library = dlopen(state.file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw DatabaseError(loader_error());
  auto api = std::make_shared<OdbcApi>();
  bind_symbol(library, "SQLAllocHandle", api->alloc_handle);
  bind_symbol(library, "SQLFreeHandle", api->free_handle);
  bind_symbol(library, "SQLSetEnvAttr", api->set_env_attr);
  bind_symbol(library, "SQLDriverConnect", api->driver_connect);
  bind_symbol(library, "SQLDisconnect", api->disconnect);
  bind_symbol(library, "SQLGetDiagRec", api->get_diag_rec);
  state.api = std::move(api);
  return state.api;
}

bool succeeded(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One ODBC handle, freed through the bound driver manager.
class Handle {
 public:
  Handle(const OdbcApi& api, SQLSMALLINT type, SQLHANDLE parent) : api_(api), type_(type) {
    if (!succeeded(api_.alloc_handle(type, parent, &handle_))) {
      handle_ = SQL_NULL_HANDLE;
      throw DatabaseError("cannot allocate an ODBC handle");
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { api_.free_handle(type_, handle_); }

  [[nodiscard]] SQLHANDLE get() const noexcept { return handle_; }
  [[nodiscard]] SQLSMALLINT type() const noexcept { return type_; }

 private:
  const OdbcApi& api_;
  SQLSMALLINT type_;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

std::string diagnostics(const OdbcApi& api, const Handle& handle) {
  std::string text;
  std::vector<std::string> seen;  // drivers may repeat a record; say it once
  for (SQLSMALLINT record = 1;; ++record) {
    std::array<SQLCHAR, 6> state{};
    std::array<SQLCHAR, 1024> message{};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        api.get_diag_rec(handle.type(), handle.get(), record, state.data(), &native, message.data(),
                         static_cast<SQLSMALLINT>(message.size()), &length);
    if (!succeeded(rc)) break;
    std::string entry = "[";
    entry += reinterpret_cast<const char*>(state.data());
    entry += "] ";
    entry += reinterpret_cast<const char*>(message.data());
    if (std::find(seen.begin(), seen.end(), entry) != seen.end()) continue;
    if (!text.empty()) text += "; ";
    text += entry;
    seen.push_back(std::move(entry));
  }
  return text.empty() ? "the ODBC driver manager reported a failure without a message" : text;
}

}  // namespace

void odbc_connect_and_release(const std::string& connection_string, std::string_view password) {
  reject_nul(connection_string, "the connection string");
  const auto api = bound_api();
  Handle environment(*api, SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!succeeded(api->set_env_attr(environment.get(), SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    throw DatabaseError(scrub(diagnostics(*api, environment), password));
  }
  Handle connection(*api, SQL_HANDLE_DBC, environment.get());
  std::string text = connection_string;  // the driver manager wants a mutable buffer
  const SQLRETURN rc =
      api->driver_connect(connection.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                          SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!succeeded(rc)) {
    throw DatabaseError(scrub(diagnostics(*api, connection), password));
  }
  api->disconnect(connection.get());
}

void set_odbc_library_for_testing(std::string file_name) {
  auto& state = binding();
  const std::lock_guard lock(state.mutex);
  state.file_name = std::move(file_name);
  state.api.reset();
}

}  // namespace norvex::dbkit::detail

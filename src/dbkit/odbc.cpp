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
#include "odbc_api.hpp"
#include "output.hpp"

namespace norvex::dbkit::detail {
namespace {

using base::detail::OdbcApi;

bool succeeded(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One ODBC handle, freed through the bound driver manager.
class Handle {
 public:
  Handle(const OdbcApi& api, SQLSMALLINT type, SQLHANDLE parent) : api_(api), type_(type) {
    if (!succeeded(api_.AllocHandle(type, parent, &handle_))) {
      handle_ = SQL_NULL_HANDLE;
      throw DatabaseError("cannot allocate an ODBC handle");
    }
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { api_.FreeHandle(type_, handle_); }

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
        api.GetDiagRec(handle.type(), handle.get(), record, state.data(), &native, message.data(),
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
  const OdbcApi* api = &base::detail::odbc_api();
  Handle environment(*api, SQL_HANDLE_ENV, SQL_NULL_HANDLE);
  if (!succeeded(api->SetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION,
                                 reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    throw DatabaseError(scrub(diagnostics(*api, environment), password));
  }
  Handle connection(*api, SQL_HANDLE_DBC, environment.get());
  std::string text = connection_string;  // the driver manager wants a mutable buffer
  const SQLRETURN rc =
      api->DriverConnect(connection.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                         SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!succeeded(rc)) {
    throw DatabaseError(scrub(diagnostics(*api, connection), password));
  }
  api->Disconnect(connection.get());
}

void set_odbc_library_for_testing(std::string file_name) {
  base::detail::set_odbc_library_for_testing(std::move(file_name));
}

}  // namespace norvex::dbkit::detail

#include "odbc_api.hpp"

#include <dlfcn.h>

#include <memory>
#include <mutex>

#include "norvex/error.hpp"

namespace norvex::base::detail {
namespace {

struct Binding {
  std::mutex mutex;
  std::string file_name{kOdbcDriverManager};
  std::shared_ptr<const OdbcApi> api;
};

Binding& binding() {
  static Binding instance;
  return instance;
}

template <class F>
void resolve(void* library, const char* name, F& slot, std::string& missing) {
  slot = reinterpret_cast<F>(dlsym(library, name));
  if (slot == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
}

}  // namespace

const OdbcApi& odbc_api() {
  auto& state = binding();
  const std::lock_guard lock(state.mutex);
  if (state.api) return *state.api;
  void* library = dlopen(state.file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    throw DatabaseError(why != nullptr ? why : "unknown dynamic loader error");
  }
  auto api = std::make_shared<OdbcApi>();
  std::string missing;
  resolve(library, "SQLAllocHandle", api->AllocHandle, missing);
  resolve(library, "SQLFreeHandle", api->FreeHandle, missing);
  resolve(library, "SQLSetEnvAttr", api->SetEnvAttr, missing);
  resolve(library, "SQLSetConnectAttr", api->SetConnectAttr, missing);
  resolve(library, "SQLSetStmtAttr", api->SetStmtAttr, missing);
  resolve(library, "SQLDriverConnect", api->DriverConnect, missing);
  resolve(library, "SQLDisconnect", api->Disconnect, missing);
  resolve(library, "SQLGetInfo", api->GetInfo, missing);
  resolve(library, "SQLExecDirect", api->ExecDirect, missing);
  resolve(library, "SQLNumResultCols", api->NumResultCols, missing);
  resolve(library, "SQLDescribeCol", api->DescribeCol, missing);
  resolve(library, "SQLFetch", api->Fetch, missing);
  resolve(library, "SQLGetData", api->GetData, missing);
  resolve(library, "SQLGetDiagRec", api->GetDiagRec, missing);
  resolve(library, "SQLEndTran", api->EndTran, missing);
  resolve(library, "SQLTables", api->Tables, missing);
  resolve(library, "SQLColumns", api->Columns, missing);
  resolve(library, "SQLPrimaryKeys", api->PrimaryKeys, missing);
  resolve(library, "SQLForeignKeys", api->ForeignKeys, missing);
  resolve(library, "SQLCancel", api->Cancel, missing);
  if (!missing.empty()) throw DatabaseError(state.file_name + " lacks " + missing);
  state.api = std::move(api);  // the library stays open for the process
  return *state.api;
}

void set_odbc_library_for_testing(std::string file_name) {
  auto& state = binding();
  const std::lock_guard lock(state.mutex);
  state.file_name = std::move(file_name);
  state.api.reset();
}

}  // namespace norvex::base::detail

#pragma once
// The ODBC driver manager, bound at run time with dlopen so that our libraries load and serve
// the other engines on machines without it. Shared by the facade and the database tool; not
// installed (it needs the ODBC headers); exported for those two libraries only.

#include <sql.h>
#include <sqlext.h>

#include <string>

#include "norvex/base/export.hpp"

namespace norvex::base::detail {

/// The driver manager's entry points that norvex uses.
struct OdbcApi {
  decltype(&::SQLAllocHandle) AllocHandle = nullptr;
  decltype(&::SQLFreeHandle) FreeHandle = nullptr;
  decltype(&::SQLSetEnvAttr) SetEnvAttr = nullptr;
  decltype(&::SQLSetConnectAttr) SetConnectAttr = nullptr;
  decltype(&::SQLSetStmtAttr) SetStmtAttr = nullptr;
  decltype(&::SQLDriverConnect) DriverConnect = nullptr;
  decltype(&::SQLDisconnect) Disconnect = nullptr;
  decltype(&::SQLGetInfo) GetInfo = nullptr;
  decltype(&::SQLExecDirect) ExecDirect = nullptr;
  decltype(&::SQLNumResultCols) NumResultCols = nullptr;
  decltype(&::SQLDescribeCol) DescribeCol = nullptr;
  decltype(&::SQLFetch) Fetch = nullptr;
  decltype(&::SQLGetData) GetData = nullptr;
  decltype(&::SQLGetDiagRec) GetDiagRec = nullptr;
  decltype(&::SQLEndTran) EndTran = nullptr;
  decltype(&::SQLTables) Tables = nullptr;
  decltype(&::SQLColumns) Columns = nullptr;
  decltype(&::SQLPrimaryKeys) PrimaryKeys = nullptr;
  decltype(&::SQLForeignKeys) ForeignKeys = nullptr;
  decltype(&::SQLCancel) Cancel = nullptr;
};

/// The driver manager's file name asked of dlopen by default.
inline constexpr const char* kOdbcDriverManager = "libodbc.so.2";

/// Binds the driver manager once and keeps it for the process (drivers must not be unloaded
/// under live handles). A failed binding is tried again at the next call. Throws
/// DatabaseError carrying the dynamic loader's own message (or the missing entry points).
NORVEX_API const OdbcApi& odbc_api();

/// For tests: the file name dlopen is asked for from now on; forgets a binding.
NORVEX_API void set_odbc_library_for_testing(std::string file_name);

}  // namespace norvex::base::detail

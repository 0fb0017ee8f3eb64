#pragma once
// The ODBC driver manager, bound at run time with dlopen so that the library loads and
// serves MySQL and PostgreSQL on machines without it.

#include <string>
#include <string_view>

#include "norvex/base/export.hpp"

namespace norvex::dbkit::detail {

/// Binds the driver manager (once; a failed binding is retried next time), connects with
/// `connection_string` and disconnects at once. Throws DatabaseError with the loader's
/// message when the driver manager cannot be bound, or with the diagnostic records
/// ("[SQLSTATE] message", joined by "; ") when the connection fails; `password` never
/// appears in the message.
void odbc_connect_and_release(const std::string& connection_string, std::string_view password);

/// For tests: the file name dlopen is asked for from now on (kOdbcLibrary by default);
/// forgets the current binding.
NORVEX_API void set_odbc_library_for_testing(std::string file_name);  // exported for tests

}  // namespace norvex::dbkit::detail

// MySQL connections over MariaDB Connector/C.
#include <errmsg.h>
#include <mysql.h>

#include <charconv>
#include <mutex>
#include <system_error>

#include "norvex/base/once.hpp"
#include "norvex/dbkit/connection.hpp"
#include "norvex/error.hpp"
#include "output.hpp"

namespace norvex::dbkit {
namespace {

// Field charset number of binary strings: their cells are bytes, not text.
constexpr unsigned kBinaryCharset = 63;
constexpr const char* kCharset = "utf8mb4";

struct ResultFreer {
  void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};
using ResultHandle = std::unique_ptr<MYSQL_RES, ResultFreer>;

// Once per process, whichever of our libraries connects first: the client library must not
// be initialised twice, nor concurrently.
void library_init() {
  base::once_per_process("mysql_library_init", [] { mysql_library_init(0, nullptr, nullptr); });
}

bool is_connection_loss(unsigned code) {
  return code == CR_CONNECTION_ERROR || code == CR_CONN_HOST_ERROR ||
         code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST;
}

DatabaseError error_of(MYSQL* handle, std::string_view password) {
  const unsigned code = mysql_errno(handle);
  return DatabaseError(detail::scrub(mysql_error(handle), password), mysql_sqlstate(handle),
                       is_connection_loss(code));
}

// The client takes a port number; a text port must be one.
unsigned port_number(const Port& port) {
  std::int64_t number = -1;
  if (const auto* value = std::get_if<std::int64_t>(&port)) {
    number = *value;
  } else {
    const auto& text = std::get<std::string>(port);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) number = -1;
  }
  if (number < 0 || number > 65535) {
    throw DatabaseError("invalid port '" + to_text(port) + "': not a number from 0 to 65535");
  }
  return static_cast<unsigned>(number);
}

const char* c_text(const std::optional<std::string>& value, std::string_view what) {
  if (!value) return nullptr;
  detail::reject_nul(*value, what);
  return value->c_str();
}

Cell integer_cell(std::string text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc() && end == text.data() + text.size()) return Cell::integer(value);
  return Cell::decimal(std::move(text));  // BIGINT UNSIGNED beyond the signed range
}

Cell floating_cell(std::string text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc() && end == text.data() + text.size()) return Cell::floating(value);
  return Cell::text(std::move(text));
}

Cell make_cell(const MYSQL_FIELD& field, const char* data, unsigned long length) {
  if (data == nullptr) return Cell::null();
  std::string text(data, length);
  switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
      return integer_cell(std::move(text));
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      return Cell::decimal(std::move(text));
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
      return floating_cell(std::move(text));
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
      return Cell::date(std::move(text));
    case MYSQL_TYPE_TIME:
      return Cell::time(std::move(text));
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      return Cell::timestamp(std::move(text));
    case MYSQL_TYPE_BIT:
    case MYSQL_TYPE_GEOMETRY:
      return Cell::bytes(std::move(text));
    case MYSQL_TYPE_NULL:
      return Cell::null();
    default:
      return field.charsetnr == kBinaryCharset ? Cell::bytes(std::move(text))
                                               : Cell::text(std::move(text));
  }
}

// Column labels of a result. A repeated label is qualified by its table, so two columns
// of the same name do not collapse into one.
std::vector<std::string> labels_of(const MYSQL_FIELD* fields, unsigned count) {
  std::vector<std::string> labels;
  labels.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    std::string label = fields[i].name;
    for (const auto& earlier : labels) {
      if (earlier == label) {
        label = std::string(fields[i].table) + "." + label;
        break;
      }
    }
    labels.push_back(std::move(label));
  }
  return labels;
}

}  // namespace

void detail::MysqlCloser::operator()(st_mysql* handle) const noexcept {
  mysql_close(handle);
}

MysqlConnection::MysqlConnection(std::unique_ptr<st_mysql, detail::MysqlCloser> handle,
                                 std::string password)
    : handle_(std::move(handle)), password_(std::move(password)) {}

MysqlConnection MysqlConnection::connect(const std::optional<std::string>& user,
                                         const std::optional<std::string>& password,
                                         const std::optional<std::string>& host, const Port& port,
                                         const std::optional<std::string>& database) {
  const char* user_text = c_text(user, "the user");
  const char* password_text = c_text(password, "the password");
  const char* host_text = c_text(host, "the host");
  const char* database_text = c_text(database, "the database name");
  const unsigned port_value = port_number(port);
  const std::string secret = password.value_or("");

  library_init();
  std::unique_ptr<st_mysql, detail::MysqlCloser> handle(mysql_init(nullptr));
  if (!handle) throw DatabaseError("cannot create a MySQL client handle");
  // The client would take host "localhost" for its Unix socket and ignore the port; a
  // caller who names a port means TCP.
  const unsigned protocol = MYSQL_PROTOCOL_TCP;
  const unsigned local_infile = 0;
  mysql_options(handle.get(), MYSQL_OPT_PROTOCOL, &protocol);
  mysql_options(handle.get(), MYSQL_OPT_LOCAL_INFILE, &local_infile);
  mysql_options(handle.get(), MYSQL_SET_CHARSET_NAME, kCharset);
  if (mysql_real_connect(handle.get(), host_text, user_text, password_text, database_text,
                         port_value, nullptr, 0) == nullptr) {
    throw error_of(handle.get(), secret);
  }
  if (mysql_autocommit(handle.get(), 0) != 0) throw error_of(handle.get(), secret);
  return MysqlConnection(std::move(handle), secret);
}

st_mysql* MysqlConnection::open_handle() const {
  if (!handle_) throw DatabaseError("the MySQL connection is closed");
  return handle_.get();
}

void MysqlConnection::fail() const {
  throw error_of(handle_.get(), password_);
}

std::vector<Row> MysqlConnection::execute(std::string_view sql) {
  MYSQL* handle = open_handle();
  const char* text = sql.empty() ? "" : sql.data();  // an empty view may hold no buffer
  if (mysql_real_query(handle, text, sql.size()) != 0) fail();

  std::vector<Row> rows;
  {
    ResultHandle result(mysql_store_result(handle));
    if (!result) {
      if (mysql_field_count(handle) != 0) fail();  // a result was due but did not arrive
    } else {
      const unsigned count = mysql_num_fields(result.get());
      const MYSQL_FIELD* fields = mysql_fetch_fields(result.get());
      const auto labels = labels_of(fields, count);
      rows.reserve(mysql_num_rows(result.get()));
      while (MYSQL_ROW data = mysql_fetch_row(result.get())) {
        const unsigned long* lengths = mysql_fetch_lengths(result.get());
        Row row;
        for (unsigned i = 0; i < count; ++i) {
          row.set(labels[i], make_cell(fields[i], data[i], lengths[i]));
        }
        rows.push_back(std::move(row));
      }
    }
  }
  // Further results (a procedure's) are read and dropped so the connection stays usable.
  while (mysql_more_results(handle)) {
    const int status = mysql_next_result(handle);
    if (status > 0) fail();
    if (status < 0) break;
    ResultHandle ignored(mysql_store_result(handle));
  }
  return rows;
}

void MysqlConnection::commit() {
  if (mysql_commit(open_handle()) != 0) fail();
}

void MysqlConnection::close() noexcept {
  handle_.reset();
}

}  // namespace norvex::dbkit

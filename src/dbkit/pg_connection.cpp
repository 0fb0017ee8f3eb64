// PostgreSQL connections over libpq.
#include <libpq-fe.h>

#include <charconv>
#include <system_error>

#include "norvex/dbkit/connection.hpp"
#include "norvex/error.hpp"
#include "output.hpp"
#include "pg_type_oids.hpp"

namespace norvex::dbkit {
namespace {

using namespace base::detail;  // the pg_type OIDs (kPgBool, ...)

constexpr const char* kClientEncoding = "UTF8";
constexpr const char* kBegin = "BEGIN";
constexpr const char* kCommit = "COMMIT";

struct ResultClearer {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

// libpq ends its messages with a line break; the printed lines add their own.
std::string trimmed(const char* message) {
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

DatabaseError result_error(PGconn* handle, const PGresult* result, std::string_view password) {
  const char* primary =
      result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char* sqlstate = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  std::string message = primary != nullptr ? std::string(primary) : trimmed(PQerrorMessage(handle));
  return DatabaseError(detail::scrub(std::move(message), password),
                       sqlstate != nullptr ? sqlstate : "", PQstatus(handle) == CONNECTION_BAD);
}

Cell make_cell(Oid type, const char* data, int length) {
  std::string text(data, static_cast<std::size_t>(length));
  switch (type) {
    case kPgBool:
      return Cell::boolean(text == "t");
    case kPgInt2:
    case kPgInt4:
    case kPgInt8:
    case kPgOid: {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc() && end == text.data() + text.size()) return Cell::integer(value);
      return Cell::decimal(std::move(text));
    }
    case kPgFloat4:
    case kPgFloat8: {
      double value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc() && end == text.data() + text.size()) return Cell::floating(value);
      return Cell::text(std::move(text));
    }
    case kPgNumeric:
      return Cell::decimal(std::move(text));
    case kPgBytea: {
      std::size_t size = 0;
      unsigned char* raw =
          PQunescapeBytea(reinterpret_cast<const unsigned char*>(text.c_str()), &size);
      if (raw == nullptr) throw DatabaseError("cannot decode a bytea value");
      std::string octets(reinterpret_cast<const char*>(raw), size);
      PQfreemem(raw);
      return Cell::bytes(std::move(octets));
    }
    case kPgDate:
      return Cell::date(std::move(text));
    case kPgTime:
    case kPgTimeTz:
      return Cell::time(std::move(text));
    case kPgTimestamp:
    case kPgTimestampTz:
      return Cell::timestamp(std::move(text));
    default:
      return Cell::text(std::move(text));
  }
}

PgResult rows_of(const PGresult* result) {
  PgResult out;
  out.has_rows = true;
  const int columns = PQnfields(result);
  const int rows = PQntuples(result);
  out.columns.reserve(static_cast<std::size_t>(columns));
  for (int c = 0; c < columns; ++c) out.columns.emplace_back(PQfname(result, c));
  out.rows.reserve(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    PgRow row;
    row.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      row.push_back(
          PQgetisnull(result, r, c) != 0
              ? Cell::null()
              : make_cell(PQftype(result, c), PQgetvalue(result, r, c), PQgetlength(result, r, c)));
    }
    out.rows.push_back(std::move(row));
  }
  return out;
}

// A COPY would leave the connection waiting for data; end it and report it unsupported.
void abandon_copy(PGconn* handle, ExecStatusType status) {
  if (status == PGRES_COPY_IN) {
    PQputCopyEnd(handle, "COPY FROM STDIN is not supported");
  } else if (status == PGRES_COPY_OUT) {
    char* buffer = nullptr;
    while (PQgetCopyData(handle, &buffer, 0) > 0) PQfreemem(buffer);
  }
  while (PGresult* rest = PQgetResult(handle)) PQclear(rest);
}

}  // namespace

void detail::PgCloser::operator()(pg_conn* handle) const noexcept {
  PQfinish(handle);
}

PgConnection::PgConnection(std::unique_ptr<pg_conn, detail::PgCloser> handle, std::string password)
    : handle_(std::move(handle)), password_(std::move(password)) {}

PgConnection PgConnection::connect(const std::optional<std::string>& user,
                                   const std::optional<std::string>& password,
                                   const std::optional<std::string>& host, const Port& port,
                                   const std::optional<std::string>& database) {
  const std::optional<std::string> port_text = to_text(port);
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  const auto add = [&](const char* keyword, const std::optional<std::string>& value,
                       std::string_view what) {
    if (!value) return;  // left to libpq's default, as the client does with an absent value
    detail::reject_nul(*value, what);
    keywords.push_back(keyword);
    values.push_back(value->c_str());
  };
  add("user", user, "the user");
  add("password", password, "the password");
  add("host", host, "the host");
  add("port", port_text, "the port");
  add("dbname", database, "the database name");
  keywords.push_back("client_encoding");
  values.push_back(kClientEncoding);
  keywords.push_back(nullptr);
  values.push_back(nullptr);

  const std::string secret = password.value_or("");
  std::unique_ptr<pg_conn, detail::PgCloser> handle(
      PQconnectdbParams(keywords.data(), values.data(), 0));
  if (!handle) throw DatabaseError("cannot create a PostgreSQL client handle");
  if (PQstatus(handle.get()) != CONNECTION_OK) {
    throw DatabaseError(detail::scrub(trimmed(PQerrorMessage(handle.get())), secret));
  }
  return PgConnection(std::move(handle), secret);
}

pg_conn* PgConnection::open_handle() const {
  if (!handle_) throw DatabaseError("the PostgreSQL connection is closed");
  return handle_.get();
}

PgResult PgConnection::execute(std::string_view sql, const std::vector<std::string>& parameters) {
  PGconn* handle = open_handle();
  detail::reject_nul(sql, "the statement");
  std::vector<const char*> values;
  values.reserve(parameters.size());
  for (const auto& parameter : parameters) {
    detail::reject_nul(parameter, "a statement parameter");
    values.push_back(parameter.c_str());
  }

  // Automatic commit is off: like the client, open a transaction before the first
  // statement after a connect or a commit.
  if (PQtransactionStatus(handle) == PQTRANS_IDLE) {
    ResultHandle begun(PQexec(handle, kBegin));
    if (PQresultStatus(begun.get()) != PGRES_COMMAND_OK) {
      throw result_error(handle, begun.get(), password_);
    }
  }

  const std::string text(sql);
  ResultHandle result(values.empty()
                          ? PQexec(handle, text.c_str())
                          : PQexecParams(handle, text.c_str(), static_cast<int>(values.size()),
                                         nullptr, values.data(), nullptr, nullptr, 0));
  const ExecStatusType status = PQresultStatus(result.get());
  switch (status) {
    case PGRES_TUPLES_OK:
      return rows_of(result.get());
    case PGRES_COMMAND_OK:
      return {};
    case PGRES_EMPTY_QUERY:
      throw DatabaseError("can't execute an empty query");
    case PGRES_COPY_IN:
    case PGRES_COPY_OUT:
    case PGRES_COPY_BOTH:
      abandon_copy(handle, status);
      throw DatabaseError("COPY FROM STDIN and COPY TO STDOUT are not supported");
    default:
      throw result_error(handle, result.get(), password_);
  }
}

void PgConnection::commit() {
  PGconn* handle = open_handle();
  if (PQtransactionStatus(handle) == PQTRANS_IDLE) return;
  ResultHandle result(PQexec(handle, kCommit));
  if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    throw result_error(handle, result.get(), password_);
  }
}

void PgConnection::close() noexcept {
  handle_.reset();
}

}  // namespace norvex::dbkit

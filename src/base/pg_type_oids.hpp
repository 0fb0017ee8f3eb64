#pragma once
// Type OIDs of PostgreSQL's pg_type that the facade and the database tool give their own cell
// kinds; every other type is read as text. Fixed by PostgreSQL for built-in types. Not
// installed.

namespace norvex::base::detail {

enum PgTypeOid : unsigned {
  kPgBool = 16,
  kPgBytea = 17,
  kPgInt8 = 20,
  kPgInt2 = 21,
  kPgInt4 = 23,
  kPgOid = 26,
  kPgFloat4 = 700,
  kPgFloat8 = 701,
  kPgDate = 1082,
  kPgTime = 1083,
  kPgTimestamp = 1114,
  kPgTimestampTz = 1184,
  kPgTimeTz = 1266,
  kPgNumeric = 1700,
};

}  // namespace norvex::base::detail

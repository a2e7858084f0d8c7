#include "db/odbc_params.h"

#include <string>
#include <vector>

#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "platform/utf16.h"

namespace fw {
namespace {

// Numbers and times go as text under their SQL type: psqlODBC types the parameter by it, and
// SQLite3 ODBC stores the text as written, as it stored the {ts} literal (measured: the same
// rows as the literals gave, on all three drivers, 20-digit numbers and "+0012" included).
// Texts above this many characters go as long texts.
constexpr SQLULEN kLongText = 4000;

SQLRETURN BindText(SQLHSTMT stmt, SQLUSMALLINT n, TOdbcParam& p, const TSqlValue& v) {
  SQLPOINTER data;
  SQLULEN units;
  if constexpr (kOdbcWideText) {
    p.wide = Utf8ToUtf16(v.text);
    data = p.wide.data();
    units = p.wide.size();
    p.indicator = static_cast<SQLLEN>(units * sizeof(char16_t));
  } else {
    p.narrow = v.text;
    data = p.narrow.data();
    units = p.narrow.size();
    p.indicator = static_cast<SQLLEN>(units);
  }
  if (v.null) p.indicator = SQL_NULL_DATA;
  const bool longText = units > kLongText;
  const SQLSMALLINT sqlType = kOdbcWideText ? (longText ? SQL_WLONGVARCHAR : SQL_WVARCHAR)
                                            : (longText ? SQL_LONGVARCHAR : SQL_VARCHAR);
  return OdbcApi.SQLBindParameter(stmt, n, SQL_PARAM_INPUT, kOdbcTextType, sqlType,
                                  units == 0 ? 1 : units, 0, data,
                                  p.indicator > 0 ? p.indicator : 0, &p.indicator);
}

SQLRETURN BindAscii(SQLHSTMT stmt, SQLUSMALLINT n, TOdbcParam& p, bool null, SQLSMALLINT sqlType,
                    SQLULEN size) {
  p.indicator = null ? SQL_NULL_DATA : static_cast<SQLLEN>(p.narrow.size());
  return OdbcApi.SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_CHAR, sqlType, size, 0,
                                  p.narrow.data(), static_cast<SQLLEN>(p.narrow.size()),
                                  &p.indicator);
}

SQLRETURN Bind(SQLHSTMT stmt, SQLUSMALLINT n, TOdbcParam& p, const TSqlValue& v) {
  switch (v.kind) {
    case svText:
      return BindText(stmt, n, p, v);
    case svNumber:
      p.narrow = v.text;
      return BindAscii(stmt, n, p, v.null, SQL_DECIMAL, p.narrow.empty() ? 1 : p.narrow.size());
    case svTimestamp:
      p.narrow = TimestampText(v.when);
      return BindAscii(stmt, n, p, v.null, SQL_TYPE_TIMESTAMP, p.narrow.size());
    case svInteger:
      break;
  }
  p.integer = v.integer;
  p.indicator = v.null ? SQL_NULL_DATA : 0;
  return OdbcApi.SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                  &p.integer, 0, &p.indicator);
}

}  // namespace

SQLRETURN OdbcRun(SQLHSTMT stmt, const TBoundSql& sql, std::vector<TOdbcParam>& buffers) {
  if (sql.values.empty()) return OdbcExecDirect(stmt, sql.text);
  // Sized whole before binding: the driver keeps pointers into every element.
  buffers.assign(sql.values.size(), TOdbcParam());
  for (size_t i = 0; i < buffers.size(); ++i) {
    const SQLRETURN rc = Bind(stmt, static_cast<SQLUSMALLINT>(i + 1), buffers[i], sql.values[i]);
    if (!SQL_SUCCEEDED(rc)) return rc;
  }
  return OdbcExecDirect(stmt, sql.text);
}

}  // namespace fw

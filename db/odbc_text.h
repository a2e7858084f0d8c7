// The ODBC calls that carry text, in UTF-8: the system's text on both sides, the driver
// manager's at the call (UTF-16 through the wide calls on Windows, see kOdbcWideText).
#pragma once

#include <cstddef>
#include <string>

#include "platform/odbc_headers.h"

namespace fw {

SQLRETURN OdbcSetCatalog(SQLHDBC dbc, const std::string& catalog);
SQLRETURN OdbcConnect(SQLHDBC dbc, const std::string& dataSource, const std::string& user,
                      const std::string& password);
// `completed`: the connection string the driver completed, up to 1023 characters.
SQLRETURN OdbcDriverConnect(SQLHDBC dbc, const std::string& in, std::string& completed);
SQLRETURN OdbcDataSource(SQLHENV env, SQLUSMALLINT direction, std::string& name,
                         std::string& description);
SQLRETURN OdbcExecDirect(SQLHSTMT stmt, const std::string& sql);
SQLRETURN OdbcColumnName(SQLHSTMT stmt, SQLUSMALLINT column, std::string& name);

struct TOdbcDiagRecord {
  std::string state;  // five characters
  SQLINTEGER native = 0;
  std::string message;
};
SQLRETURN OdbcDiagRecord(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT record,
                         TOdbcDiagRecord& out);
// SQL_DIAG_MESSAGE_TEXT of one record.
SQLRETURN OdbcDiagMessage(SQLSMALLINT handleType, SQLHANDLE handle, SQLSMALLINT record,
                          std::string& message);

// Text data is read as this C type, in units of this many bytes; OdbcText turns such data
// into UTF-8.
inline constexpr SQLSMALLINT kOdbcTextType = kOdbcWideText ? SQL_C_WCHAR : SQL_C_CHAR;
inline constexpr size_t kOdbcTextUnit = kOdbcWideText ? sizeof(SQLWCHAR) : 1;
// `units` whole units at `data`, cut at the first zero unit.
std::string OdbcText(const void* data, size_t units);

}  // namespace fw

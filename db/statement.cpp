#include "db/statement.h"

#include <algorithm>
#include <climits>

#include "db/diagnostics.h"
#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "db/statement_worker.h"
#include "platform/strings.h"

namespace fw {

namespace {

SQLPOINTER IntegerAttr(uintptr_t value) {
  return reinterpret_cast<SQLPOINTER>(value);
}

TColumnClass ClassOf(SQLSMALLINT type, bool& listed) {
  listed = true;
  switch (type) {
    case 0:
      return ctOther;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return ctString;
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
      return ctInteger;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return ctFloat;
    case SQL_BIT:
      return ctBoolean;
    case SQL_TYPE_DATE:
      return ctDate;
    case SQL_TIME:
    case SQL_TYPE_TIME:
      return ctTime;
    case SQL_DATETIME:
    case SQL_TIMESTAMP:
    case SQL_TYPE_TIMESTAMP:
      return ctDateTime;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return ctMemo;
    default:
      listed = false;
      return ctOther;
  }
}

// Bound buffers grow no larger than this; a longer value is read whole through SQLGetData.
constexpr int32_t kMaxBoundSize = 1 << 20;

}  // namespace

TODBCStatement::TODBCStatement(TODBC& connection, TCursorAccess access, TColumnReads reads)
    : connection_(connection), bindColumns_(connection.BindColumns() || reads == crBound) {
  valid_ = Setup(access);
  if (valid_) {
    connection_.RegisterStatement(this);
    registered_ = true;
  }
}

TODBCStatement::~TODBCStatement() {
  Release();
}

bool TODBCStatement::Setup(TCursorAccess access) {
  if (!connection_.Connected()) {
    setup_ = TDbStatus::Failure(dcLost,
                                "The statement has no connection: the database is not connected.");
    last_ = setup_;
    return false;
  }
  SQLHANDLE h = SQL_NULL_HANDLE;
  if (!Succeeded(OdbcApi.SQLAllocHandle(SQL_HANDLE_STMT, connection_.Dbc(), &h))) {
    const TDiagnostics records = ReadDiagnostics(SQL_HANDLE_DBC, connection_.Dbc());
    setup_ = TDbStatus::Failure(connection_.DriverKind(), records);
    connection_.NoteFailure(SQL_HANDLE_DBC, connection_.Dbc());
    if (connection_.LostConnection()) setup_ = setup_.Recoded(dcLost);
    last_ = setup_;
    return false;
  }
  handle_ = h;

  if (access == caReadOnly) {
    OdbcApi.SQLSetStmtAttr(handle_, SQL_ATTR_CONCURRENCY, IntegerAttr(SQL_CONCUR_READ_ONLY), 0);
  } else {
    for (uintptr_t c : {SQL_CONCUR_ROWVER, SQL_CONCUR_VALUES, SQL_CONCUR_LOCK}) {
      if (OdbcApi.SQLSetStmtAttr(handle_, SQL_ATTR_CONCURRENCY, IntegerAttr(c), 0) != SQL_ERROR) {
        break;
      }
    }
  }
  OdbcApi.SQLSetStmtAttr(handle_, SQL_ATTR_METADATA_ID, IntegerAttr(SQL_FALSE), 0);

  // The cursor must let one statement walk a table while others on the same connection
  // delete the row it stands on, every row visited once. Asked for a dynamic cursor,
  // SQLite3 ODBC gives a static one over the result it read whole at execute (as long as
  // StepAPI stays 0), and MariaDB Connector/ODBC gives a static one, which becomes a
  // forward-only cursor here over the client-side copy of the result. MariaDB's real dynamic
  // cursor (its OPTION bit 32) re-reads the table and silently skips rows after a delete, so
  // for the MySQL family anything but forward-only becomes forward-only.
  OdbcApi.SQLSetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, IntegerAttr(SQL_CURSOR_DYNAMIC), 0);
  const TDriverKind kind = connection_.DriverKind();
  SQLULEN cursor = SQL_CURSOR_FORWARD_ONLY;
  if (kind == dkOracle || kind == dkMySql) {
    OdbcApi.SQLGetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, &cursor, 0, nullptr);
    if ((kind == dkOracle && cursor == SQL_CURSOR_KEYSET_DRIVEN) ||
        (kind == dkMySql && cursor != SQL_CURSOR_FORWARD_ONLY)) {
      OdbcApi.SQLSetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, IntegerAttr(SQL_CURSOR_FORWARD_ONLY),
                             0);
    }
  }
  cursor = SQL_CURSOR_FORWARD_ONLY;
  OdbcApi.SQLGetStmtAttr(handle_, SQL_ATTR_CURSOR_TYPE, &cursor, 0, nullptr);
  SQLUSMALLINT attributeSet = SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1;
  if (cursor == SQL_CURSOR_KEYSET_DRIVEN) attributeSet = SQL_KEYSET_CURSOR_ATTRIBUTES1;
  if (cursor == SQL_CURSOR_DYNAMIC) attributeSet = SQL_DYNAMIC_CURSOR_ATTRIBUTES1;
  if (cursor == SQL_CURSOR_STATIC) attributeSet = SQL_STATIC_CURSOR_ATTRIBUTES1;
  SQLUINTEGER attributes = 0;
  OdbcApi.SQLGetInfo(connection_.Dbc(), attributeSet, &attributes, sizeof attributes, nullptr);
  canRefresh_ = cursor != SQL_CURSOR_STATIC && (attributes & SQL_CA1_POS_REFRESH) != 0;
  canAbsolute_ = (attributes & SQL_CA1_ABSOLUTE) != 0;
  canRelative_ = (attributes & SQL_CA1_RELATIVE) != 0;
  forwardOnly_ = !canAbsolute_ && !canRelative_;

  OdbcApi.SQLSetStmtAttr(handle_, SQL_ATTR_MAX_ROWS, IntegerAttr(0), 0);
  return true;
}

void TODBCStatement::Release() {
  if (registered_) {
    connection_.UnregisterStatement(this);
    registered_ = false;
  }
  worker_.reset();
  if (valid_) {
    OdbcApi.SQLCancel(handle_);
    OdbcApi.SQLFreeStmt(handle_, SQL_CLOSE);
    OdbcApi.SQLFreeStmt(handle_, SQL_UNBIND);
    OdbcApi.SQLFreeStmt(handle_, SQL_RESET_PARAMS);
    OdbcApi.SQLFreeHandle(SQL_HANDLE_STMT, handle_);
    handle_ = SQL_NULL_HSTMT;
    valid_ = false;
    // The last status stays: it says why the statement ended, if it failed.
    setup_ = TDbStatus::Failure(dcLost, "The statement was closed with its connection.");
  }
  buffers_.clear();
  columns_.clear();
  ForgetRow();
}

void TODBCStatement::DescribeColumns() {
  columns_.clear();
  SQLSMALLINT count = 0;
  OdbcApi.SQLNumResultCols(handle_, &count);
  const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
  if (bindColumns_) {
    buffers_.clear();
    buffers_.resize(n);
  }
  // Bound columns point at their entry's indicator: no reallocation after this.
  columns_.reserve(n);
  for (SQLUSMALLINT i = 1; i <= n; ++i) {
    std::string name;
    OdbcColumnName(handle_, i, name);
    SQLLEN displaySize = 0;
    OdbcApi.SQLColAttribute(handle_, i, SQL_DESC_DISPLAY_SIZE, nullptr, 0, nullptr, &displaySize);
    SQLLEN conciseType = 0;
    SQLSMALLINT type = SQL_CHAR;
    if (Succeeded(OdbcApi.SQLColAttribute(handle_, i, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr,
                                          &conciseType))) {
      type = static_cast<SQLSMALLINT>(conciseType);
    }
    TColInfo col;
    col.name = UpperAscii(name.substr(0, 128));
    col.size = static_cast<int32_t>(std::clamp<SQLLEN>(displaySize, INT32_MIN, INT32_MAX));
    if (connection_.DriverKind() == dkSqlServer && col.size == 0 && type == SQL_VARCHAR) {
      col.size = 8000;
    }
    bool listed = false;
    col.cls = ClassOf(type, listed);
    if (!listed) {
      // SQLite3 ODBC answers with a C type for some columns (BIGINT as SQL_C_SBIGINT); taken
      // as "other", a wide card number would be cut to ten digits. Its SQL type decides.
      SQLSMALLINT sqlType = 0, digits = 0, nullable = 0;
      SQLULEN columnSize = 0;
      if (Succeeded(OdbcApi.SQLDescribeCol(handle_, i, nullptr, 0, nullptr, &sqlType, &columnSize,
                                           &digits, &nullable))) {
        col.cls = ClassOf(sqlType, listed);
      }
      if (!listed) col.size = 0;
    }
    columns_.push_back(col);
    if (!bindColumns_) continue;
    TColInfo& entry = columns_.back();
    std::vector<char>& buffer = buffers_[i - 1];
    if (entry.cls == ctMemo) {
      buffer.assign(1, '\0');
      continue;
    }
    int32_t s = std::min(entry.size, kMaxBoundSize);
    if (s < 1) s = 10;
    if (entry.cls == ctInteger || entry.cls == ctFloat) s += 20;
    constexpr auto unit = static_cast<SQLLEN>(kOdbcTextUnit);
    buffer.assign(static_cast<size_t>((s + 2) * unit), '\0');
    entry.indicator = (s + 1) * unit;
    OdbcApi.SQLBindCol(handle_, i, kOdbcTextType, buffer.data(), (s + 1) * unit, &entry.indicator);
  }
}

}  // namespace fw

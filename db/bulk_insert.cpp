#include "db/bulk_insert.h"

#include <algorithm>
#include <functional>

#include "db/bound_sql.h"
#include "db/diagnostics.h"
#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "platform/utf16.h"

namespace fw {
namespace {

// The SQL type each value is bound as; the driver converts the text, as the server would a
// literal of that type.
SQLSMALLINT SqlType(TBoundType type) {
  switch (type) {
    case btNumber:
      return SQL_DECIMAL;
    case btInteger:
      return SQL_INTEGER;
    case btTimestamp:
      return SQL_TYPE_TIMESTAMP;
    default:
      return kOdbcWideText ? SQL_WVARCHAR : SQL_VARCHAR;
  }
}

std::string InsertText(const std::string& table, const TBoundRows& rows, size_t count) {
  std::string row = "(";
  for (size_t c = 0; c < rows.Columns(); ++c) row += c == 0 ? "?" : ", ?";
  row += ")";
  std::string text = "INSERT INTO " + table + " (";
  for (size_t c = 0; c < rows.Columns(); ++c) {
    if (c > 0) text += ", ";
    text += rows.Names()[c];
  }
  text += ") Values ";
  text.reserve(text.size() + count * (row.size() + 2));
  for (size_t r = 0; r < count; ++r) {
    if (r > 0) text += ", ";
    text += row;
  }
  return text;
}

// Unbinds on every way out, so that the statement's next text runs without parameters.
struct TParamsReset {
  SQLHSTMT handle;
  ~TParamsReset() { OdbcApi.SQLFreeStmt(handle, SQL_RESET_PARAMS); }
};

TDbStatus BindFailure(TODBCStatement& statement) {
  TDbStatus status = TDbStatus::Failure(statement.Connection().DriverKind(),
                                        ReadDiagnostics(SQL_HANDLE_STMT, statement.Handle()));
  statement.Connection().NoteStatementFailure(status);
  return status;
}

// Back to one set of parameters, so that the statement's next text runs as a single one.
struct TArrayReset {
  SQLHSTMT handle;
  ~TArrayReset() {
    OdbcApi.SQLSetStmtAttr(handle, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
  }
};

// The rows as one parameter array of a single-row statement, bound column by column, the
// markers taking the columns in `order`: MariaDB's driver sends it in one round trip at the
// pace of the client's own loader, where markers of many rows cost it twice that. A bad row
// fails the whole array (rolled back), as a multi-row statement does; the driver writes no
// row status, so the caller finds the row by halving.
TDbStatus ExecArray(TODBCStatement& statement, const std::string& text, const TBoundRows& rows,
                    const std::vector<size_t>& order, size_t from, size_t to) {
  const SQLHSTMT handle = statement.Handle();
  const size_t count = to - from, columns = rows.Columns();
  std::vector<std::vector<char>> buffers(columns);
  std::vector<std::vector<SQLLEN>> indicators(columns, std::vector<SQLLEN>(count));
  std::vector<size_t> widths(columns);
  for (size_t c = 0; c < columns; ++c) {
    size_t width = 1;
    for (size_t r = from; r < to; ++r) width = std::max(width, rows.Value(r, c).size() + 1);
    widths[c] = width;
    buffers[c].assign(width * count, '\0');
    for (size_t r = from; r < to; ++r) {
      const std::string& value = rows.Value(r, c);
      std::copy(value.begin(), value.end(), buffers[c].begin() + (r - from) * width);
      indicators[c][r - from] =
          rows.Null(r, c) ? SQL_NULL_DATA : static_cast<SQLLEN>(value.size());
    }
  }
  OdbcApi.SQLFreeStmt(handle, SQL_RESET_PARAMS);
  const TParamsReset reset{handle};
  const TArrayReset single{handle};
  if (!Succeeded(OdbcApi.SQLSetStmtAttr(handle, SQL_ATTR_PARAM_BIND_TYPE,
                                        reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN),
                                        0)) ||
      !Succeeded(OdbcApi.SQLSetStmtAttr(handle, SQL_ATTR_PARAMSET_SIZE,
                                        reinterpret_cast<SQLPOINTER>(count), 0))) {
    return BindFailure(statement);
  }
  for (size_t p = 0; p < order.size(); ++p) {
    const size_t c = order[p];
    const TBoundType type = rows.Type(c);
    const SQLRETURN rc = OdbcApi.SQLBindParameter(
        handle, static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
        type == btText ? SQL_VARCHAR : SqlType(type), widths[c] - 1 > 0 ? widths[c] - 1 : 1, 0,
        buffers[c].data(), static_cast<SQLLEN>(widths[c]), indicators[c].data());
    if (!Succeeded(rc)) return BindFailure(statement);
  }
  return statement.Exec(text);
}

// PostgreSQL's array input: every element quoted, quotes and backslashes escaped within it (the
// same whatever standard_conforming_strings says: it is a value, not SQL text).
std::string ArrayValue(const TBoundRows& rows, size_t column, size_t from, size_t to) {
  std::string text = "{";
  for (size_t r = from; r < to; ++r) {
    if (r > from) text += ',';
    if (rows.Null(r, column)) {
      text += "NULL";
      continue;
    }
    text += '"';
    for (const char ch : rows.Value(r, column)) {
      if (ch == '"' || ch == '\\') text += '\\';
      text += ch;
    }
    text += '"';
  }
  return text + "}";
}

const char* ArrayType(TBoundType type) {
  switch (type) {
    case btNumber:
      return "::numeric[]";
    case btInteger:
      return "::integer[]";
    case btTimestamp:
      return "::timestamp[]";
    default:
      return "::text[]";
  }
}

// The rows as one array per column, unnested by the server: psqlODBC sends parameter arrays as
// one statement per row and breaks at 7,500 markers, while this runs at twice the pace of its
// own loader. A bad row fails the whole statement, as a multi-row INSERT does.
// unnest(?::type[], ...): one array marker per column of the rows, in their order.
std::string UnnestCall(const TBoundRows& rows) {
  std::string call = "unnest(";
  for (size_t c = 0; c < rows.Columns(); ++c) {
    call += std::string(c > 0 ? ", " : "") + "?" + ArrayType(rows.Type(c));
  }
  return call + ")";
}

// Runs `sql`, which holds UnnestCall(rows), with the rows [from, to) bound as its arrays.
TDbStatus ExecUnnested(TODBCStatement& statement, const std::string& sql, const TBoundRows& rows,
                       size_t from, size_t to) {
  const SQLHSTMT handle = statement.Handle();
  const size_t columns = rows.Columns();
  std::vector<std::string> arrays(columns);
  std::vector<SQLLEN> indicators(columns);
  for (size_t c = 0; c < columns; ++c) {
    arrays[c] = ArrayValue(rows, c, from, to);
    indicators[c] = static_cast<SQLLEN>(arrays[c].size());
  }
  OdbcApi.SQLFreeStmt(handle, SQL_RESET_PARAMS);
  const TParamsReset reset{handle};
  for (size_t c = columns; c-- > 0;) {
    const SQLRETURN rc = OdbcApi.SQLBindParameter(
        handle, static_cast<SQLUSMALLINT>(c + 1), SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR,
        arrays[c].size(), 0, arrays[c].data(), 0, &indicators[c]);
    if (!Succeeded(rc)) return BindFailure(statement);
  }
  return statement.Exec(sql);
}

std::string ColumnList(const TBoundRows& rows) {
  std::string list;
  for (size_t c = 0; c < rows.Columns(); ++c) list += (c > 0 ? ", " : "") + rows.Names()[c];
  return list;
}

TDbStatus ExecUnnestInsert(TODBCStatement& statement, const std::string& table,
                           const TBoundRows& rows, size_t from, size_t to) {
  return ExecUnnested(statement,
                      "INSERT INTO " + table + " (" + ColumnList(rows) + ") SELECT * FROM " +
                          UnnestCall(rows),
                      rows, from, to);
}

// Binds the values of the rows, then runs the text with its markers; the array paths above for
// more than one row where the driver gains from them.
TDbStatus ExecBoundInsert(TODBCStatement& statement, const std::string& table,
                          const TBoundRows& rows, size_t from, size_t to) {
  // UTF-8 passes the ANSI calls unchanged; where the driver manager takes UTF-16, the rows go
  // as markers, each text converted.
  if (statement.Valid() && !kOdbcWideText && statement.Connection().DriverKind() == dkMySql &&
      to - from > 1) {
    std::vector<size_t> order(rows.Columns());
    for (size_t c = 0; c < order.size(); ++c) order[c] = c;
    return ExecArray(statement, InsertText(table, rows, 1), rows, order, from, to);
  }
  if (statement.Valid() && statement.Connection().DriverKind() == dkPostgres && to - from > 1) {
    return ExecUnnestInsert(statement, table, rows, from, to);
  }
  const std::string text = InsertText(table, rows, to - from);
  if (!statement.Valid()) return statement.Exec(text);
  const SQLHSTMT handle = statement.Handle();
  OdbcApi.SQLFreeStmt(handle, SQL_RESET_PARAMS);
  const TParamsReset reset{handle};
  const size_t columns = rows.Columns();
  std::vector<SQLLEN> indicators((to - from) * columns);
  std::vector<std::u16string> wide;  // UTF-16 copies where the driver manager takes those
  if (kOdbcWideText) wide.reserve(indicators.size());
  // The last marker first: the drivers grow their parameter records to the number bound, and
  // growing them one by one copies them all at every marker.
  for (size_t index = indicators.size(); index-- > 0;) {
    const size_t r = from + index / columns, c = index % columns;
    const std::string& value = rows.Value(r, c);
    const TBoundType type = rows.Type(c);
    SQLLEN& indicator = indicators[index];
    SQLPOINTER data = const_cast<char*>(value.c_str());
    SQLSMALLINT cType = SQL_C_CHAR;
    SQLULEN size = std::max<size_t>(value.size(), 1);
    indicator = static_cast<SQLLEN>(value.size());
    if (type == btText && kOdbcWideText) {
      wide.push_back(Utf8ToUtf16(value));
      data = wide.back().data();
      cType = SQL_C_WCHAR;
      size = std::max<size_t>(wide.back().size(), 1);
      indicator = static_cast<SQLLEN>(wide.back().size() * sizeof(char16_t));
    } else if (type == btTimestamp) {
      size = 19;
    } else if (type == btInteger) {
      size = 10;
    }
    if (rows.Null(r, c)) indicator = SQL_NULL_DATA;
    const SQLRETURN rc =
        OdbcApi.SQLBindParameter(handle, static_cast<SQLUSMALLINT>(index + 1), SQL_PARAM_INPUT,
                                 cType, SqlType(type), size, 0, data, 0, &indicator);
    if (!Succeeded(rc)) return BindFailure(statement);
  }
  return statement.Exec(text);
}

}  // namespace

void TBoundRows::Reset(std::vector<std::string> names, std::vector<TBoundType> types) {
  names_ = std::move(names);
  types_ = std::move(types);
  values_.clear();
  bytes_ = 0;
}

void TBoundRows::AddRow(std::vector<std::string> values) {
  values.resize(names_.size());
  for (std::string& v : values) {
    bytes_ += v.size() + 8;
    values_.push_back(std::move(v));
  }
}

TDbStatus TBoundInserter::OnOwnStatement(const std::function<TDbStatus(TODBCStatement&)>& run) {
  if (!statement_) statement_.emplace(connection_);
  TDbStatus status = run(*statement_);
  if (status.Failed()) statement_.reset();
  return status;
}

TDbStatus TBoundInserter::Insert(const std::string& table, const TBoundRows& rows, size_t from,
                                 size_t to) {
  return OnOwnStatement([&](TODBCStatement& statement) {
    return ExecBoundInsert(statement, table, rows, from, to);
  });
}

TDbStatus TBoundInserter::UpdateArray(const std::string& table, const std::string& key,
                                      const TBoundRows& rows, size_t from, size_t to) {
  std::string text = "UPDATE " + table + " SET ";
  std::vector<size_t> order;
  size_t keyColumn = 0;
  for (size_t c = 0; c < rows.Columns(); ++c) {
    if (rows.Names()[c] == key) {
      keyColumn = c;
      continue;
    }
    text += (order.empty() ? "" : ", ") + rows.Names()[c] + " = ?";
    order.push_back(c);
  }
  text += " WHERE " + key + " = ?";
  order.push_back(keyColumn);
  return OnOwnStatement([&](TODBCStatement& statement) {
    return ExecArray(statement, text, rows, order, from, to);
  });
}

TDbStatus TBoundInserter::UpdateUnnested(const std::string& table, const std::string& key,
                                         const TBoundRows& rows, size_t from, size_t to) {
  std::string set;
  for (const std::string& name : rows.Names()) {
    if (name == key) continue;
    set += (set.empty() ? "" : ", ") + name + " = v." + name;
  }
  const std::string sql = "UPDATE " + table + " SET " + set + " FROM " + UnnestCall(rows) +
                          " AS v (" + ColumnList(rows) + ") WHERE " + table + "." + key +
                          " = v." + key;
  return OnOwnStatement([&](TODBCStatement& statement) {
    return ExecUnnested(statement, sql, rows, from, to);
  });
}

TDbStatus TBoundInserter::Update(const std::string& table, const std::string& key,
                                 const TBoundRows& rows, size_t from, size_t to) {
  if (connection_.DriverKind() == dkPostgres) return UpdateUnnested(table, key, rows, from, to);
  return UpdateArray(table, key, rows, from, to);
}

bool BoundSetUpdates(TDriverKind kind) {
  return (kind == dkMySql && !kOdbcWideText) || kind == dkPostgres;
}

size_t BoundInsertRows(TDriverKind kind, size_t columns) {
  columns = std::max<size_t>(columns, 1);
  switch (kind) {
    case dkMySql:
      // An array goes as one packet: at max_allowed_packet=1M, 10,000 rows lose the
      // connection, 1,000 pass. As markers (Windows), no more than any statement binds.
      return kOdbcWideText ? std::max<size_t>(kMaxBoundValues / columns, 1) : 1000;
    case dkPostgres:
      // As arrays (ExecUnnestInsert): 10,000 rows a statement run as fast as more.
      return 10000;
    default:
      // SQLite gains nothing past a few hundred rows.
      return std::min<size_t>(200, std::max<size_t>(kMaxBoundValues / columns, 1));
  }
}

}  // namespace fw

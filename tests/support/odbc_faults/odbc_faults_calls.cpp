// The shim's ODBC entry points (odbc_faults.h): each forwards to the real driver manager,
// statements and commits through Counted, every other call failing on a lost connection.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "tests/support/odbc_faults/odbc_faults_shim.h"

using namespace fw_faults;

// ---- handles ----

FW_EXPORT SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE in, SQLHANDLE* out) {
  if (type == SQL_HANDLE_STMT) {
    std::lock_guard<std::mutex> guard(mu);
    injected.erase(in);
    auto it = conns.find(in);
    if (it != conns.end() && it->second.dead) {
      injected[in] = {"08003", 0, "Connection does not exist"};
      if (out != nullptr) *out = SQL_NULL_HSTMT;
      return SQL_ERROR;
    }
  }
  const SQLRETURN rc = REAL(SQLAllocHandle)(type, in, out);
  if (Ok(rc) && out != nullptr) {
    std::lock_guard<std::mutex> guard(mu);
    if (type == SQL_HANDLE_STMT) stmtConn[*out] = in;
    if (type == SQL_HANDLE_DBC) conns[*out] = TConnState{};
  }
  return rc;
}

FW_EXPORT SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE h) {
  {
    std::lock_guard<std::mutex> guard(mu);
    injected.erase(h);
    if (type == SQL_HANDLE_STMT) stmtConn.erase(h);
    if (type == SQL_HANDLE_DBC) conns.erase(h);
  }
  return REAL(SQLFreeHandle)(type, h);
}

FW_EXPORT SQLRETURN SQLFreeStmt(SQLHSTMT s, SQLUSMALLINT option) {
  {
    std::lock_guard<std::mutex> guard(mu);
    injected.erase(s);
  }
  return REAL(SQLFreeStmt)(s, option);
}

FW_EXPORT SQLRETURN SQLCloseCursor(SQLHSTMT s) {
  {
    std::lock_guard<std::mutex> guard(mu);
    injected.erase(s);
  }
  return REAL(SQLCloseCursor)(s);
}

FW_EXPORT SQLRETURN SQLCancel(SQLHSTMT s) {
  return REAL(SQLCancel)(s);
}

// ---- environment ----

FW_EXPORT SQLRETURN SQLGetEnvAttr(SQLHENV e, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n,
                                  SQLINTEGER* l) {
  return REAL(SQLGetEnvAttr)(e, a, v, n, l);
}
FW_EXPORT SQLRETURN SQLSetEnvAttr(SQLHENV e, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  return REAL(SQLSetEnvAttr)(e, a, v, n);
}
FW_EXPORT SQLRETURN SQLDrivers(SQLHENV e, SQLUSMALLINT d, SQLCHAR* a, SQLSMALLINT an,
                               SQLSMALLINT* al, SQLCHAR* b, SQLSMALLINT bn, SQLSMALLINT* bl) {
  return REAL(SQLDrivers)(e, d, a, an, al, b, bn, bl);
}
FW_EXPORT SQLRETURN SQLDataSources(SQLHENV e, SQLUSMALLINT d, SQLCHAR* a, SQLSMALLINT an,
                                   SQLSMALLINT* al, SQLCHAR* b, SQLSMALLINT bn, SQLSMALLINT* bl) {
  return REAL(SQLDataSources)(e, d, a, an, al, b, bn, bl);
}
FW_EXPORT SQLRETURN SQLDataSourcesW(SQLHENV e, SQLUSMALLINT d, SQLWCHAR* a, SQLSMALLINT an,
                                    SQLSMALLINT* al, SQLWCHAR* b, SQLSMALLINT bn, SQLSMALLINT* bl) {
  return REAL(SQLDataSourcesW)(e, d, a, an, al, b, bn, bl);
}

// ---- connections ----

FW_EXPORT SQLRETURN SQLGetConnectAttr(SQLHDBC c, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n,
                                      SQLINTEGER* l) {
  if (a == SQL_ATTR_CONNECTION_DEAD && v != nullptr) {
    std::lock_guard<std::mutex> guard(mu);
    auto it = conns.find(c);
    if (it != conns.end() && it->second.dead) {
      *static_cast<SQLUINTEGER*>(v) = SQL_CD_TRUE;
      return SQL_SUCCESS;
    }
  }
  return REAL(SQLGetConnectAttr)(c, a, v, n, l);
}
FW_EXPORT SQLRETURN SQLSetConnectAttr(SQLHDBC c, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  if (auto dead = DeadCheck(SQL_HANDLE_DBC, c)) return *dead;
  return REAL(SQLSetConnectAttr)(c, a, v, n);
}
FW_EXPORT SQLRETURN SQLSetConnectAttrW(SQLHDBC c, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  if (auto dead = DeadCheck(SQL_HANDLE_DBC, c)) return *dead;
  return REAL(SQLSetConnectAttrW)(c, a, v, n);
}
FW_EXPORT SQLRETURN SQLConnect(SQLHDBC c, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn,
                               SQLCHAR* p, SQLSMALLINT pn) {
  const SQLRETURN rc = REAL(SQLConnect)(c, a, an, b, bn, p, pn);
  if (Ok(rc)) Connected(c);
  return rc;
}
FW_EXPORT SQLRETURN SQLConnectW(SQLHDBC c, SQLWCHAR* a, SQLSMALLINT an, SQLWCHAR* b, SQLSMALLINT bn,
                                SQLWCHAR* p, SQLSMALLINT pn) {
  const SQLRETURN rc = REAL(SQLConnectW)(c, a, an, b, bn, p, pn);
  if (Ok(rc)) Connected(c);
  return rc;
}
FW_EXPORT SQLRETURN SQLDriverConnect(SQLHDBC c, SQLHWND w, SQLCHAR* in, SQLSMALLINT inn,
                                     SQLCHAR* out, SQLSMALLINT outn, SQLSMALLINT* outl,
                                     SQLUSMALLINT completion) {
  const SQLRETURN rc = REAL(SQLDriverConnect)(c, w, in, inn, out, outn, outl, completion);
  if (Ok(rc)) Connected(c);
  return rc;
}
FW_EXPORT SQLRETURN SQLDriverConnectW(SQLHDBC c, SQLHWND w, SQLWCHAR* in, SQLSMALLINT inn,
                                      SQLWCHAR* out, SQLSMALLINT outn, SQLSMALLINT* outl,
                                      SQLUSMALLINT completion) {
  const SQLRETURN rc = REAL(SQLDriverConnectW)(c, w, in, inn, out, outn, outl, completion);
  if (Ok(rc)) Connected(c);
  return rc;
}
FW_EXPORT SQLRETURN SQLBrowseConnect(SQLHDBC c, SQLCHAR* in, SQLSMALLINT inn, SQLCHAR* out,
                                     SQLSMALLINT outn, SQLSMALLINT* outl) {
  return REAL(SQLBrowseConnect)(c, in, inn, out, outn, outl);
}
FW_EXPORT SQLRETURN SQLDisconnect(SQLHDBC c) {
  {
    // A reconnect after this finds the connection alive again.
    std::lock_guard<std::mutex> guard(mu);
    injected.erase(c);
    auto it = conns.find(c);
    if (it != conns.end()) it->second.dead = false;
  }
  return REAL(SQLDisconnect)(c);
}
FW_EXPORT SQLRETURN SQLGetInfo(SQLHDBC c, SQLUSMALLINT t, SQLPOINTER v, SQLSMALLINT n,
                               SQLSMALLINT* l) {
  return REAL(SQLGetInfo)(c, t, v, n, l);
}
FW_EXPORT SQLRETURN SQLEndTran(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT completion) {
  if (type != SQL_HANDLE_DBC || completion != SQL_COMMIT) {
    if (type == SQL_HANDLE_DBC) {
      if (auto dead = DeadCheck(type, h)) return *dead;
    }
    return REAL(SQLEndTran)(type, h, completion);
  }
  return Counted(type, h, true, [&] { return REAL(SQLEndTran)(type, h, completion); });
}

// ---- statements ----

// A transaction begun in SQL ends in SQL: such a COMMIT fails as SQLEndTran's does.
static bool IsCommitText(const SQLCHAR* text, SQLINTEGER n) {
  if (text == nullptr) return false;
  std::string t(
      reinterpret_cast<const char*>(text),
      n == SQL_NTS ? std::strlen(reinterpret_cast<const char*>(text)) : static_cast<size_t>(n));
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::toupper(c); });
  return t.find_first_not_of(" \t\r\n") != std::string::npos &&
         t.substr(t.find_first_not_of(" \t\r\n"), 6) == "COMMIT";
}

FW_EXPORT SQLRETURN SQLExecDirect(SQLHSTMT s, SQLCHAR* text, SQLINTEGER n) {
  return Counted(SQL_HANDLE_STMT, s, IsCommitText(text, n),
                 [&] { return REAL(SQLExecDirect)(s, text, n); });
}
FW_EXPORT SQLRETURN SQLExecDirectW(SQLHSTMT s, SQLWCHAR* text, SQLINTEGER n) {
  return Counted(SQL_HANDLE_STMT, s, false, [&] { return REAL(SQLExecDirectW)(s, text, n); });
}
FW_EXPORT SQLRETURN SQLExecute(SQLHSTMT s) {
  return Counted(SQL_HANDLE_STMT, s, false, [&] { return REAL(SQLExecute)(s); });
}
FW_EXPORT SQLRETURN SQLPrepare(SQLHSTMT s, SQLCHAR* text, SQLINTEGER n) {
  if (auto dead = DeadCheck(SQL_HANDLE_STMT, s)) return *dead;
  return REAL(SQLPrepare)(s, text, n);
}

// The rest fail on a lost connection and otherwise just forward.
#define FW_STMT_CALL(name, params, args)                         \
  FW_EXPORT SQLRETURN name params {                              \
    if (auto dead = DeadCheck(SQL_HANDLE_STMT, s)) return *dead; \
    return REAL(name) args;                                      \
  }

FW_STMT_CALL(SQLGetStmtAttr, (SQLHSTMT s, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n, SQLINTEGER* l),
             (s, a, v, n, l))
FW_STMT_CALL(SQLSetStmtAttr, (SQLHSTMT s, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n), (s, a, v, n))
FW_STMT_CALL(SQLTables,
             (SQLHSTMT s, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn, SQLCHAR* c,
              SQLSMALLINT cn, SQLCHAR* d, SQLSMALLINT dn),
             (s, a, an, b, bn, c, cn, d, dn))
FW_STMT_CALL(SQLStatistics,
             (SQLHSTMT s, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn, SQLCHAR* c,
              SQLSMALLINT cn, SQLUSMALLINT u, SQLUSMALLINT r),
             (s, a, an, b, bn, c, cn, u, r))
FW_STMT_CALL(SQLPrimaryKeys,
             (SQLHSTMT s, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn, SQLCHAR* c,
              SQLSMALLINT cn),
             (s, a, an, b, bn, c, cn))
FW_STMT_CALL(SQLForeignKeys,
             (SQLHSTMT s, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn, SQLCHAR* c,
              SQLSMALLINT cn, SQLCHAR* d, SQLSMALLINT dn, SQLCHAR* e, SQLSMALLINT en, SQLCHAR* f,
              SQLSMALLINT fn),
             (s, a, an, b, bn, c, cn, d, dn, e, en, f, fn))
FW_STMT_CALL(SQLNumResultCols, (SQLHSTMT s, SQLSMALLINT* n), (s, n))
FW_STMT_CALL(SQLRowCount, (SQLHSTMT s, SQLLEN* n), (s, n))
FW_STMT_CALL(SQLFetch, (SQLHSTMT s), (s))
FW_STMT_CALL(SQLFetchScroll, (SQLHSTMT s, SQLSMALLINT o, SQLLEN n), (s, o, n))
FW_STMT_CALL(SQLGetData,
             (SQLHSTMT s, SQLUSMALLINT c, SQLSMALLINT t, SQLPOINTER v, SQLLEN n, SQLLEN* l),
             (s, c, t, v, n, l))
FW_STMT_CALL(SQLDescribeCol,
             (SQLHSTMT s, SQLUSMALLINT c, SQLCHAR* name, SQLSMALLINT n, SQLSMALLINT* l,
              SQLSMALLINT* t, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable),
             (s, c, name, n, l, t, size, digits, nullable))
FW_STMT_CALL(SQLColAttribute,
             (SQLHSTMT s, SQLUSMALLINT c, SQLUSMALLINT f, SQLPOINTER v, SQLSMALLINT n,
              SQLSMALLINT* l, SQLLEN* num),
             (s, c, f, v, n, l, num))
FW_STMT_CALL(SQLColAttributeW,
             (SQLHSTMT s, SQLUSMALLINT c, SQLUSMALLINT f, SQLPOINTER v, SQLSMALLINT n,
              SQLSMALLINT* l, SQLLEN* num),
             (s, c, f, v, n, l, num))
FW_STMT_CALL(SQLColumns,
             (SQLHSTMT s, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn, SQLCHAR* c,
              SQLSMALLINT cn, SQLCHAR* d, SQLSMALLINT dn),
             (s, a, an, b, bn, c, cn, d, dn))
FW_STMT_CALL(SQLSpecialColumns,
             (SQLHSTMT s, SQLUSMALLINT i, SQLCHAR* a, SQLSMALLINT an, SQLCHAR* b, SQLSMALLINT bn,
              SQLCHAR* c, SQLSMALLINT cn, SQLUSMALLINT scope, SQLUSMALLINT nullable),
             (s, i, a, an, b, bn, c, cn, scope, nullable))
FW_STMT_CALL(SQLBindCol,
             (SQLHSTMT s, SQLUSMALLINT c, SQLSMALLINT t, SQLPOINTER v, SQLLEN n, SQLLEN* l),
             (s, c, t, v, n, l))
FW_STMT_CALL(SQLBindParameter,
             (SQLHSTMT s, SQLUSMALLINT i, SQLSMALLINT io, SQLSMALLINT ct, SQLSMALLINT st,
              SQLULEN size, SQLSMALLINT scale, SQLPOINTER v, SQLLEN n, SQLLEN* l),
             (s, i, io, ct, st, size, scale, v, n, l))
FW_STMT_CALL(SQLSetPos, (SQLHSTMT s, SQLSETPOSIROW r, SQLUSMALLINT o, SQLUSMALLINT l), (s, r, o, l))
FW_STMT_CALL(SQLPutData, (SQLHSTMT s, SQLPOINTER v, SQLLEN n), (s, v, n))

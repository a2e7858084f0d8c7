// The fault-injecting driver manager (see odbc_faults.h): every entry point forwards to the
// real unixODBC library; statements and commits are counted, and the armed one fails with the
// diagnostic record the connection's driver gives for that class. A connection it declares
// lost stays lost (every call fails, SQL_ATTR_CONNECTION_DEAD reads 1) until it is
// disconnected; the server-side work it held is really rolled back first, so the database is
// in the state a real loss leaves.
#include "tests/support/odbc_faults/odbc_faults.h"

#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#define FW_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum TDriver { drUnknown, drMariaDb, drPostgres, drSqlite };

struct TRecord {
  std::string state;
  SQLINTEGER native = 0;
  std::string text;
};

struct TConnState {
  TDriver driver = drUnknown;
  bool dead = false;
};

std::mutex mu;
std::map<SQLHANDLE, SQLHANDLE> stmtConn;  // statement -> its connection
std::map<SQLHANDLE, TConnState> conns;    // connection -> what we know of it
std::map<SQLHANDLE, TRecord> injected;    // handle -> the one record of our failure
long counted = 0;                         // statements and commits since the last arm
long armedAt = 0;                         // 0: no fault armed
int armedClass = fcDeadlock;
bool fired = false;
long commitsOk = 0;
long exitAfterCommit = 0;

void* RealLibrary() {
  static void* lib = [] {
    const char* name = std::getenv("FENWOLD_TEST_FAULT_REAL_LIB");
    return dlopen(name != nullptr && *name != '\0' ? name : "libodbc.so.2",
                  RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  }();
  return lib;
}

void* RealSymbol(const char* name) {
  void* p = RealLibrary() ? dlsym(RealLibrary(), name) : nullptr;
  if (p == nullptr) {
    // Nothing sensible is left to forward to; a test must see this at once.
    static const char msg[] = "odbc_faults: the real driver manager lacks an entry point\n";
    (void)!write(2, msg, sizeof msg - 1);
    _exit(99);
  }
  return p;
}

#define REAL(name)                                                                \
  ([] {                                                                           \
    static const auto p = reinterpret_cast<decltype(&::name)>(RealSymbol(#name)); \
    return p;                                                                     \
  }())

long EnvNumber(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atol(v) : 0;
}

__attribute__((constructor)) void ArmFromEnvironment() {
  armedAt = EnvNumber("FENWOLD_TEST_FAULT_AT");
  exitAfterCommit = EnvNumber("FENWOLD_TEST_FAULT_EXIT_AFTER_COMMIT");
  if (const char* c = std::getenv("FENWOLD_TEST_FAULT_CLASS")) {
    for (int i = 0; i < fcFaultClassCount; ++i) {
      if (std::strcmp(c, FaultClassName(i)) == 0) armedClass = i;
    }
  }
}

bool Ok(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Caller holds mu.
SQLHANDLE ConnOf(SQLSMALLINT type, SQLHANDLE h) {
  if (type == SQL_HANDLE_DBC) return h;
  if (type == SQL_HANDLE_STMT) {
    auto it = stmtConn.find(h);
    return it == stmtConn.end() ? SQL_NULL_HANDLE : it->second;
  }
  return SQL_NULL_HANDLE;
}

TDriver DriverFromName(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (name.find("maodbc") != std::string::npos || name.find("mariadb") != std::string::npos ||
      name.find("myodbc") != std::string::npos) {
    return drMariaDb;
  }
  if (name.find("psql") != std::string::npos || name.find("postgres") != std::string::npos) {
    return drPostgres;
  }
  if (name.find("sqlite") != std::string::npos) return drSqlite;
  return drUnknown;
}

void Connected(SQLHDBC dbc) {
  SQLCHAR name[256] = {0};
  SQLSMALLINT length = 0;
  REAL(SQLGetInfo)(dbc, SQL_DRIVER_NAME, name, sizeof name, &length);
  std::lock_guard<std::mutex> guard(mu);
  conns[dbc] = TConnState{DriverFromName(reinterpret_cast<char*>(name)), false};
}

// The record each driver gives for a failure of class `c`; `dead` for every call after a
// lost connection. SQLite has no connection to lose: an I/O error is the nearest it comes.
TRecord RecordFor(TDriver d, int c, bool dead = false) {
  if (d == drMariaDb) {
    const std::string p = "[ma-3.1.15]";
    if (dead) return {"08S01", 2006, p + "Server has gone away"};
    switch (c) {
      case fcLockWait:
        return {"HY000", 1205, p + "Lock wait timeout exceeded; try restarting transaction"};
      case fcInterrupted:
        return {"70100", 1317, p + "Query execution was interrupted"};
      case fcLost:
      case fcReplyLost:
        return {"08S01", 2006, p + "Server has gone away"};
      case fcBadData:
        return {"22001", 1406, p + "Data too long for column 'descr' at row 1"};
      default:
        return {"40001", 1213,
                p + "Deadlock found when trying to get lock; try restarting transaction"};
    }
  }
  if (d == drPostgres) {
    const std::string e = ";\nError while executing the query";
    if (dead) return {"08S01", 35, "Could not send Query(connection dead)"};
    switch (c) {
      case fcLockWait:
        return {"55P03", 1, "ERROR: canceling statement due to lock timeout" + e};
      case fcInterrupted:
        return {"57014", 1, "ERROR: canceling statement due to user request" + e};
      case fcLost:
      case fcReplyLost:
        return {"08S01", 35, "Could not send Query(connection dead)"};
      case fcBadData:
        return {"22001", 1, "ERROR: value too long for type character varying(255)" + e};
      default:
        return {"40P01", 1, "ERROR: deadlock detected" + e};
    }
  }
  if (dead) return {"HY000", 10, "disk I/O error (10)"};
  switch (c) {
    case fcInterrupted:
      return {"HY000", 9, "interrupted (9)"};
    case fcLost:
    case fcReplyLost:
      return {"HY000", 10, "disk I/O error (10)"};
    case fcBadData:
      return {"HY000", 19, "constraint failed (19)"};
    default:
      return {"HY000", 5, "database is locked (5)"};
  }
}

// Caller holds mu. Fails a call on a handle of a lost connection; nullopt when alive.
std::optional<SQLRETURN> DeadCheckLocked(SQLSMALLINT type, SQLHANDLE h) {
  injected.erase(h);
  const SQLHANDLE dbc = ConnOf(type, h);
  auto it = conns.find(dbc);
  if (it == conns.end() || !it->second.dead) return std::nullopt;
  injected[h] = RecordFor(it->second.driver, fcLost, true);
  return SQL_ERROR;
}

std::optional<SQLRETURN> DeadCheck(SQLSMALLINT type, SQLHANDLE h) {
  std::lock_guard<std::mutex> guard(mu);
  return DeadCheckLocked(type, h);
}

// What the server does to open work when it rolls back or loses the session.
void RollBackOnServer(SQLHDBC dbc) {
  SQLULEN autocommit = SQL_AUTOCOMMIT_ON;
  REAL(SQLGetConnectAttr)(dbc, SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr);
  if (autocommit == SQL_AUTOCOMMIT_OFF) {
    REAL(SQLEndTran)(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    return;
  }
  // An auto-commit connection may hold a transaction its caller began in SQL.
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!Ok(REAL(SQLAllocHandle)(SQL_HANDLE_STMT, dbc, &stmt))) return;
  REAL(SQLExecDirect)(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>("ROLLBACK")), SQL_NTS);
  REAL(SQLFreeHandle)(SQL_HANDLE_STMT, stmt);
}

enum TWhen { whNone, whBefore, whAfter };

// Counts one statement or commit on `h`. whBefore: fail it without running it; whAfter: run
// it, then fail (a reply lost); whNone: run it. `c` gets the class.
TWhen CountCall(SQLSMALLINT type, SQLHANDLE h, int& c, SQLHANDLE& dbc, TDriver& driver) {
  std::lock_guard<std::mutex> guard(mu);
  ++counted;
  if (armedAt == 0 || fired || counted != armedAt) return whNone;
  fired = true;
  c = armedClass;
  dbc = ConnOf(type, h);
  auto it = conns.find(dbc);
  driver = it == conns.end() ? drUnknown : it->second.driver;
  return c == fcReplyLost ? whAfter : whBefore;
}

SQLRETURN Inject(SQLSMALLINT type, SQLHANDLE h, int c, SQLHANDLE dbc, TDriver driver,
                 bool isCommit) {
  // A commit that fails leaves nothing behind on every server; so do the classes that say so.
  const bool rollBack = isCommit || c == fcRolledBack || c == fcLost || c == fcReplyLost;
  if (rollBack && dbc != SQL_NULL_HANDLE) RollBackOnServer(dbc);
  std::lock_guard<std::mutex> guard(mu);
  injected[h] = RecordFor(driver, c);
  if ((c == fcLost || c == fcReplyLost) && conns.count(dbc)) conns[dbc].dead = true;
  (void)type;
  return SQL_ERROR;
}

// One counted call: `run` forwards it.
template <class F>
SQLRETURN Counted(SQLSMALLINT type, SQLHANDLE h, bool isCommit, F run) {
  if (auto dead = DeadCheck(type, h)) return *dead;
  int c = 0;
  SQLHANDLE dbc = SQL_NULL_HANDLE;
  TDriver driver = drUnknown;
  const TWhen when = CountCall(type, h, c, dbc, driver);
  if (when == whBefore && c == fcEndedSilently && !isCommit) {
    if (dbc != SQL_NULL_HANDLE) RollBackOnServer(dbc);
    return run();
  }
  if (when == whBefore) return Inject(type, h, c, dbc, driver, isCommit && c != fcReplyLost);
  const SQLRETURN rc = run();
  if (when == whAfter) {
    // The commit reached the server; uncommitted work dies with the session.
    if (!isCommit && dbc != SQL_NULL_HANDLE) RollBackOnServer(dbc);
    std::lock_guard<std::mutex> guard(mu);
    injected[h] = RecordFor(driver, c);
    if (conns.count(dbc)) conns[dbc].dead = true;
    return SQL_ERROR;
  }
  if (isCommit && Ok(rc)) {
    std::lock_guard<std::mutex> guard(mu);
    if (exitAfterCommit > 0 && ++commitsOk == exitAfterCommit) _exit(kFaultExitStatus);
  }
  return rc;
}

void CopyText(const std::string& text, SQLCHAR* out, SQLSMALLINT size, SQLSMALLINT* length) {
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(text.size());
  if (out == nullptr || size <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(out, text.data(), n);
  out[n] = 0;
}

void CopyWide(const std::string& text, SQLWCHAR* out, SQLSMALLINT chars, SQLSMALLINT* length) {
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(text.size());
  if (out == nullptr || chars <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(chars - 1));
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(text[i]);  // ASCII texts
  out[n] = 0;
}

std::optional<TRecord> InjectedRecord(SQLHANDLE h) {
  std::lock_guard<std::mutex> guard(mu);
  auto it = injected.find(h);
  if (it == injected.end()) return std::nullopt;
  return it->second;
}

// SQLGetDiagField on an injected record; `wide` gives text fields as SQLWCHAR (byte lengths).
SQLRETURN DiagField(const TRecord& r, SQLSMALLINT record, SQLSMALLINT id, SQLPOINTER info,
                    SQLSMALLINT size, SQLSMALLINT* length, bool wide) {
  if (record == 0) {
    if (id == SQL_DIAG_NUMBER) {
      *static_cast<SQLINTEGER*>(info) = 1;
      return SQL_SUCCESS;
    }
    if (id == SQL_DIAG_RETURNCODE) {
      *static_cast<SQLRETURN*>(info) = SQL_ERROR;
      return SQL_SUCCESS;
    }
    return SQL_NO_DATA;
  }
  if (record != 1) return SQL_NO_DATA;
  if (id == SQL_DIAG_NATIVE) {
    *static_cast<SQLINTEGER*>(info) = r.native;
    return SQL_SUCCESS;
  }
  std::string text;
  switch (id) {
    case SQL_DIAG_SQLSTATE:
      text = r.state;
      break;
    case SQL_DIAG_MESSAGE_TEXT:
      text = r.text;
      break;
    case SQL_DIAG_CLASS_ORIGIN:
    case SQL_DIAG_SUBCLASS_ORIGIN:
      text = "ISO 9075";
      break;
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME:
      break;
    default:
      return SQL_NO_DATA;
  }
  if (wide) {
    CopyWide(text, static_cast<SQLWCHAR*>(info), static_cast<SQLSMALLINT>(size / sizeof(SQLWCHAR)),
             length);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(*length * sizeof(SQLWCHAR));
  } else {
    CopyText(text, static_cast<SQLCHAR*>(info), size, length);
  }
  return SQL_SUCCESS;
}

}  // namespace

// ---- control ----

FW_EXPORT void fw_faults_arm(int k, int c) {
  std::lock_guard<std::mutex> guard(mu);
  counted = 0;
  armedAt = k;
  armedClass = c;
  fired = false;
}

FW_EXPORT void fw_faults_disarm() {
  std::lock_guard<std::mutex> guard(mu);
  armedAt = 0;
}

FW_EXPORT long fw_faults_count() {
  std::lock_guard<std::mutex> guard(mu);
  return counted;
}

FW_EXPORT int fw_faults_fired() {
  std::lock_guard<std::mutex> guard(mu);
  return fired ? 1 : 0;
}

FW_EXPORT void fw_faults_exit_after_commit(int k) {
  std::lock_guard<std::mutex> guard(mu);
  commitsOk = 0;
  exitAfterCommit = k;
}

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
bool IsCommitText(const SQLCHAR* text, SQLINTEGER n) {
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

// ---- diagnostics: our record where we failed the call, the driver's otherwise ----

FW_EXPORT SQLRETURN SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, SQLCHAR* state,
                                  SQLINTEGER* native, SQLCHAR* text, SQLSMALLINT size,
                                  SQLSMALLINT* length) {
  const auto r = InjectedRecord(h);
  if (!r) return REAL(SQLGetDiagRec)(type, h, record, state, native, text, size, length);
  if (record != 1) return SQL_NO_DATA;
  CopyText(r->state, state, 6, nullptr);
  if (native != nullptr) *native = r->native;
  CopyText(r->text, text, size, length);
  return SQL_SUCCESS;
}

FW_EXPORT SQLRETURN SQLGetDiagRecW(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record,
                                   SQLWCHAR* state, SQLINTEGER* native, SQLWCHAR* text,
                                   SQLSMALLINT size, SQLSMALLINT* length) {
  const auto r = InjectedRecord(h);
  if (!r) return REAL(SQLGetDiagRecW)(type, h, record, state, native, text, size, length);
  if (record != 1) return SQL_NO_DATA;
  CopyWide(r->state, state, 6, nullptr);
  if (native != nullptr) *native = r->native;
  CopyWide(r->text, text, size, length);
  return SQL_SUCCESS;
}

FW_EXPORT SQLRETURN SQLGetDiagField(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record,
                                    SQLSMALLINT id, SQLPOINTER info, SQLSMALLINT size,
                                    SQLSMALLINT* length) {
  const auto r = InjectedRecord(h);
  if (!r) return REAL(SQLGetDiagField)(type, h, record, id, info, size, length);
  return DiagField(*r, record, id, info, size, length, false);
}

FW_EXPORT SQLRETURN SQLGetDiagFieldW(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record,
                                     SQLSMALLINT id, SQLPOINTER info, SQLSMALLINT size,
                                     SQLSMALLINT* length) {
  const auto r = InjectedRecord(h);
  if (!r) return REAL(SQLGetDiagFieldW)(type, h, record, id, info, size, length);
  return DiagField(*r, record, id, info, size, length, true);
}

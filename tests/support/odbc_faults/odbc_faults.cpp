// The fault-injecting driver manager (see odbc_faults.h): every entry point forwards to the
// real unixODBC library; statements and commits are counted, and the armed one fails with the
// diagnostic record the connection's driver gives for that class. A connection it declares
// lost stays lost (every call fails, SQL_ATTR_CONNECTION_DEAD reads 1) until it is
// disconnected; the server-side work it held is really rolled back first, so the database is
// in the state a real loss leaves.
#include "tests/support/odbc_faults/odbc_faults_shim.h"

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

namespace fw_faults {

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
TRecord RecordFor(TDriver d, int c, bool dead) {
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

}  // namespace fw_faults

using namespace fw_faults;

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

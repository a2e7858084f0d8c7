// The shim's own parts, shared by its two files: what it knows of handles and connections,
// the armed fault, and the counting that fails the armed call (odbc_faults.cpp); the ODBC
// entry points that forward through it (odbc_faults_calls.cpp). Every state is guarded by `mu`.
#pragma once

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tests/support/odbc_faults/odbc_faults.h"

#define FW_EXPORT extern "C" __attribute__((visibility("default")))

namespace fw_faults {

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

extern std::mutex mu;
extern std::map<SQLHANDLE, SQLHANDLE> stmtConn;  // statement -> its connection
extern std::map<SQLHANDLE, TConnState> conns;  // connection -> what we know of it
extern std::map<SQLHANDLE, TRecord> injected;  // handle -> the one record of our failure
extern long counted;  // statements and commits since the last arm
extern long armedAt;  // 0: no fault armed
extern int armedClass;
extern bool fired;
extern long commitsOk;
extern long exitAfterCommit;

// The real driver manager's entry point; ends the process when it lacks one.
void* RealSymbol(const char* name);
#define REAL(name)                                                                \
  ([] {                                                                           \
    static const auto p = reinterpret_cast<decltype(&::name)>(RealSymbol(#name)); \
    return p;                                                                     \
  }())

bool Ok(SQLRETURN rc);
// Caller holds mu.
SQLHANDLE ConnOf(SQLSMALLINT type, SQLHANDLE h);
// Learns the connection's driver once it is connected.
void Connected(SQLHDBC dbc);
// The record each driver gives for a failure of class `c`; `dead` for every call after a
// lost connection.
TRecord RecordFor(TDriver d, int c, bool dead = false);
// Caller holds mu. Fails a call on a handle of a lost connection; nullopt when alive.
std::optional<SQLRETURN> DeadCheckLocked(SQLSMALLINT type, SQLHANDLE h);
std::optional<SQLRETURN> DeadCheck(SQLSMALLINT type, SQLHANDLE h);
// What the server does to open work when it rolls back or loses the session.
void RollBackOnServer(SQLHDBC dbc);
enum TWhen { whNone, whBefore, whAfter };
// Counts one statement or commit on `h`. whBefore: fail it without running it; whAfter: run
// it, then fail (a reply lost); whNone: run it. `c` gets the class.
TWhen CountCall(SQLSMALLINT type, SQLHANDLE h, int& c, SQLHANDLE& dbc, TDriver& driver);
SQLRETURN Inject(SQLSMALLINT type, SQLHANDLE h, int c, SQLHANDLE dbc, TDriver driver,
                 bool isCommit);
void CopyText(const std::string& text, SQLCHAR* out, SQLSMALLINT size, SQLSMALLINT* length);
void CopyWide(const std::string& text, SQLWCHAR* out, SQLSMALLINT chars, SQLSMALLINT* length);
std::optional<TRecord> InjectedRecord(SQLHANDLE h);
// SQLGetDiagField on an injected record; `wide` gives text fields as SQLWCHAR (byte lengths).
SQLRETURN DiagField(const TRecord& r, SQLSMALLINT record, SQLSMALLINT id, SQLPOINTER info,
                    SQLSMALLINT size, SQLSMALLINT* length, bool wide);

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

}  // namespace fw_faults

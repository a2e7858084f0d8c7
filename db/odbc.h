// TODBC: one ODBC environment and connection, its driver kind, transactions and the
// statements open on it. Failures are results: nothing here raises or logs.
//
// Threads: one thread owns a connection and everything on it; call from that thread only.
// While a statement runs on its worker thread (db/statement_worker.h) the owner's thread
// serves its event loop through the wait hook, and must not start anything on this
// connection meanwhile.
// Ownership: the caller owns the TODBC and its statements; the connection only keeps a list
// of the statements open on it, to free their handles when it disconnects (they stay, not
// Valid()). It must outlive every statement and guard made on it.
// Failures: a failed Connect leaves nothing open (LastError says why). A lost connection stays
// lost until Disconnect and Connect; what was not committed is gone with it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "db/driver_kind.h"
#include "db/status.h"
#include "platform/odbc_headers.h"

namespace fw {

class TODBCStatement;
class TStatementWorker;

// How a connection commits: each statement on its own, or only when the caller commits (a
// transaction is then always open on it).
enum TCommitMode { cmAutoCommit, cmManualCommit };

// True for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO.
inline bool Succeeded(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

class TODBC {
 public:
  TODBC();  // binds the driver manager and allocates the environment
  ~TODBC();
  TODBC(const TODBC&) = delete;
  TODBC& operator=(const TODBC&) = delete;

  // Returns Connected() afterwards. A data source name is tried first with SQLConnect, then
  // an assembled connection string with SQLDriverConnect.
  bool Connect(const std::string& dataSource, const std::string& user, const std::string& password,
               const std::string& database, bool manualCommit, const std::string& driver,
               const std::string& options);
  // Frees the connection; what a manual-commit connection has not committed is rolled back,
  // never committed, so that no path that drops a connection can commit half of a file.
  void Disconnect();
  bool Connected() const { return connected_; }
  // The connection was opened with manualCommit: a transaction is always open on it.
  bool ManualCommit() const { return manualCommit_; }
  // Use TTransaction (db/transaction.h) rather than this. Ok when not connected; a commit after
  // a lost connection is never Ok.
  TDbStatus EndTrans(bool commit);

  // For the guards of db/transaction.h. A unit on an auto-commit connection runs with
  // auto-commit off; Disconnect rolls back what it left open.
  TDbStatus BeginUnit();
  // Back to auto-commit once the unit has ended. A connection whose unit cannot be ended
  // cleanly is marked lost: switching on would commit what is left.
  void EndUnit(const TDbStatus& rollback);
  bool InUnit() const { return inUnit_; }
  // While a guard that failed to begin is alive, statements are refused with its status
  // rather than run outside a transaction.
  const TDbStatus& Refusal() const { return refusal_; }
  void SetRefusal(const TDbStatus& status) { refusal_ = status; }
  // Counts every Connect: a guard from before a reconnect leaves the new session alone.
  uint64_t Session() const { return session_; }
  // Every failed statement is counted; a guard takes a mark at its begin, and none commits
  // with a failure since its mark that a savepoint rollback did not undo.
  uint64_t FailureMark();
  void NoteStatementFailure(const TDbStatus& status);
  // The first failure since `mark` still counted; Ok when none.
  TDbStatus FailureSince(uint64_t mark) const;
  // What ran since `mark` was undone (a savepoint rolled back to) or ended (a rollback).
  void ForgetFailuresSince(uint64_t mark);

  TDriverKind DriverKind() const { return driverKind_; }
  bool BindColumns() const { return bindColumns_; }
  // SQL_GETDATA_EXTENSIONS of the connected driver (SQL_GD_* bits); 0 before Connect.
  SQLUINTEGER GetDataExtensions() const { return getDataExtensions_; }
  const std::string& ConnectInfo() const { return connectInfo_; }
  // SQL_DBMS_NAME of the connected database ("SQLite", "MariaDB", "PostgreSQL"); empty when
  // the driver does not say.
  const std::string& DbmsName() const { return dbmsName_; }

  // A connect, commit or statement failure on this connection was a lost connection (as
  // ShowsLostConnection in db/diagnostics.h decides, or SQL_ATTR_CONNECTION_DEAD set after it). A
  // lost connection never recovers, so this stays set until the next Connect; reconnect with
  // Disconnect, then Connect. After a failed Connect it tells an unreachable server from a refused
  // login.
  bool LostConnection() const { return lostConnection_; }
  void NoteFailure(SQLSMALLINT handleType, SQLHANDLE handle);  // records a lost connection
  void NoteLost() { lostConnection_ = true; }
  // The driver's SQL_ATTR_CONNECTION_DEAD; false when it does not know the attribute. Asking
  // clears the connection's diagnostics: read them first.
  bool ConnectionDead() const;
  // Diagnostics of the last failed Connect or EndTrans, joined with " | ".
  const std::string& LastError() const { return lastError_; }

  // For statements.
  SQLHENV Env() const { return env_; }
  SQLHDBC Dbc() const { return dbc_; }
  void RegisterStatement(TODBCStatement* statement);
  void UnregisterStatement(TODBCStatement* statement);
  // The thread that runs this connection's statements while their caller keeps its event loop
  // alive (statement_worker.h). Made at first use and kept with the connection: a thread
  // started per statement cost more than the statement (a file's staging makes three or four).
  // Null while it runs a statement, or when no thread can be started.
  TStatementWorker* IdleWorker();

  // Exposed for tests and tools.
  std::string BuildConnectionString(const std::string& dataSource, const std::string& user,
                                    const std::string& password, const std::string& database,
                                    const std::string& driver, const std::string& options) const;
  std::string DataSourceDriver(const std::string& name) const;

 private:
  void DecideBindColumns();

  bool bound_ = false;
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool bindColumns_ = false;
  SQLUINTEGER getDataExtensions_ = 0;
  std::vector<TODBCStatement*> statements_;
  bool connected_ = false;
  bool manualCommit_ = false;
  std::string connectInfo_;
  std::string dbmsName_;
  TDriverKind driverKind_ = dkGeneric;
  bool lostConnection_ = false;
  std::string lastError_;
  bool inUnit_ = false;
  TDbStatus refusal_;
  uint64_t session_ = 0;
  uint64_t failures_ = 0;
  uint64_t newestMark_ = 0;
  // The first failure after each mark taken, by its number (a few, not every failure).
  std::vector<std::pair<uint64_t, TDbStatus>> firstFailures_;
  std::unique_ptr<TStatementWorker> worker_;
};

// Reads section "ODBC" of a file data source as "key=value;..." (DRIVER values with a blank
// wrapped in braces); empty when there is no such section.
std::string FileDsnText(const std::string& path);

}  // namespace fw

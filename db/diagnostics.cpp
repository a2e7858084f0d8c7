#include "db/diagnostics.h"

#include <cstring>

#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "platform/strings.h"

namespace fw {
namespace {

bool Succeeded(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

bool LostConnectionRecord(const TDiagRecord& r) {
  const std::string& s = r.sqlstate;
  // psqlODBC reports every failed connect as 08001; the server's own refusals (a wrong
  // password, no such database) carry its "FATAL:" text and are no lost connection, bar a
  // server that is starting up or shutting down ("the database system is ..."). Nothing but
  // the text tells them apart there.
  if (s == "08001" && r.text.find("FATAL:") != std::string::npos &&
      r.text.find("the database system is") == std::string::npos) {
    return false;
  }
  // Galera's "WSREP has not yet prepared node for application use" comes as 08S01 from a
  // node that is alive but not synced: no lost connection (TryAgainRecord).
  if (s == "08S01" && r.native == 1047) return false;
  if (s.rfind("08", 0) == 0) return true;
  // PostgreSQL: the server shut down (smart/fast, or crashed) or is still starting up.
  if (s == "57P01" || s == "57P02" || s == "57P03") return true;
  // MariaDB client errors: cannot connect (socket, TCP), server gone, lost during a query,
  // a read or write on the socket failed (5013, 5014: what a connection the server has
  // closed gives); and the server's own "connection was killed".
  const long n = r.native;
  return s == "HY000" &&
         (n == 2002 || n == 2003 || n == 2006 || n == 2013 || n == 5013 || n == 5014 || n == 1927);
}

bool TryAgainRecord(TDriverKind kind, const TDiagRecord& r) {
  const std::string& s = r.sqlstate;
  // Class 40: MariaDB's deadlock and Galera's certification failure (both 40001/1213),
  // PostgreSQL's serialization failure (40001) and deadlock (40P01).
  if (s.rfind("40", 0) == 0) return true;
  if (s == "HYT00") return true;  // a driver's own query timeout
  if (s == "55P03") return true;  // PostgreSQL: lock_timeout
  // PostgreSQL: a statement cancelled by someone else than our stop check (that one becomes
  // dcStopped), and a transaction the server aborted: the unit has ended and may run again.
  if (s == "57014" || s == "25P02") return true;
  // MariaDB: "Query execution was interrupted" (a Galera brute-force abort on the prepared
  // path, a KILL QUERY) as 70100/1317; a Galera node not yet synced, 08S01/1047.
  if (s == "70100" || (kind == dkMySql && s == "08S01" && r.native == 1047)) return true;
  if (s != "HY000") return false;
  if (r.native == 1205) return true;  // MariaDB: innodb_lock_wait_timeout
  // MariaDB: 1317 as HY000, and "Got error during COMMIT" / "during ROLLBACK" (1180, 1181).
  if (kind == dkMySql && (r.native == 1317 || r.native == 1180 || r.native == 1181)) return true;
  // SQLite: SQLITE_BUSY "database is locked" after its Timeout=, SQLITE_LOCKED.
  return kind != dkMySql && kind != dkPostgres && (r.native == 5 || r.native == 6);
}

}  // namespace

TDiagnostics ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
  TDiagnostics records;
  if (handle == SQL_NULL_HANDLE) return records;
  for (SQLSMALLINT n = 1; n < 100; ++n) {
    TOdbcDiagRecord diag;
    SQLRETURN rc = OdbcDiagRecord(handleType, handle, n, diag);
    if (Succeeded(rc) && diag.state == "HY000")
      rc = OdbcDiagMessage(handleType, handle, n, diag.message);
    if (!Succeeded(rc) || diag.state == "IM001") break;
    records.push_back({diag.state, static_cast<long>(diag.native), diag.message});
  }
  return records;
}

std::string DiagLine(const TDiagRecord& record) {
  return OneLine(record.text) + ". State:  " + record.sqlstate;
}

// A failure is one log line, whatever the driver wrote: psqlODBC ends its first line with
// ";\n" before "Error while executing the query", and a failure may carry several records.
std::string DiagText(const TDiagnostics& records) {
  std::string text;
  for (const TDiagRecord& r : records) {
    if (!text.empty()) text += " | ";
    text += DiagLine(r);
  }
  return text;
}

bool ShowsLostConnection(const TDiagnostics& records) {
  for (const TDiagRecord& r : records) {
    if (LostConnectionRecord(r)) return true;
  }
  return false;
}

TFailureKind ClassifyFailure(TDriverKind kind, const TDiagnostics& records) {
  if (ShowsLostConnection(records)) return fkLostConnection;
  for (const TDiagRecord& r : records) {
    if (TryAgainRecord(kind, r)) return fkTryAgain;
  }
  return fkBadData;
}

}  // namespace fw

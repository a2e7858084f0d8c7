// Diagnostics of a failed ODBC call as values, and the one place that decides from their codes
// what a failure means: the connection is gone, the same work may succeed if tried again, or
// the statement (its data) is at fault.
#pragma once

#include <string>
#include <vector>

#include "db/driver_kind.h"
#include "platform/odbc_headers.h"

namespace fw {

struct TDiagRecord {
  std::string sqlstate;  // five characters
  long native = 0;       // the driver's or server's own error number
  std::string text;
};
using TDiagnostics = std::vector<TDiagRecord>;

// The records of a handle, in order; none for a null handle. IM001 (the driver lacks the
// function) ends the list: it says nothing about the failure.
TDiagnostics ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

// "text. State:  SQLSTATE": how a record reads in the log, its line breaks made spaces.
std::string DiagLine(const TDiagRecord& record);
// The lines of all records joined with " | ": one log line.
std::string DiagText(const TDiagnostics& records);

enum TFailureKind {
  fkBadData,        // the statement or its data: trying again gives the same answer
  fkTryAgain,       // a deadlock, a lock wait that timed out, a serialization failure
  fkLostConnection  // the connection is gone; it never recovers
};

// `kind` keeps driver-private numbers apart (SQLite's 5 is not another driver's 5).
TFailureKind ClassifyFailure(TDriverKind kind, const TDiagnostics& records);
bool ShowsLostConnection(const TDiagnostics& records);

}  // namespace fw

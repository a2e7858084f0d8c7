// TDbStatus: what one database call did, as one value: it ran, it ran and found no row, or it
// failed, and how. A failure carries the diagnostic records it failed with, classified once
// (ClassifyFailure); callers switch on Code() and never read a handle again afterwards (a
// rollback in between would have cleared it).
#pragma once

#include <string>
#include <utility>

#include "db/diagnostics.h"
#include "db/driver_kind.h"

namespace fw {

enum TDbCode {
  dcOk,        // ran; a SELECT or a fetch stands on a row
  dcNoRow,     // ran; a SELECT returned no row, or a fetch passed the last one
  dcBadData,   // the statement or its data was refused: the same again gives the same answer
  dcTryAgain,  // a deadlock, lock wait, serialization failure or interruption: later may work
  dcLost,      // the connection is gone; it never recovers
  dcStopped,   // cancelled by the stop check, or not run because a stop was requested
};

class TDbStatus {
 public:
  TDbStatus() = default;  // dcOk
  // dcOk. (Not "Ok()": C++ cannot overload the static factory with the member test below.)
  static TDbStatus Success() { return TDbStatus(); }
  static TDbStatus NoRow() { return TDbStatus(dcNoRow, {}); }
  static TDbStatus Stopped() { return TDbStatus(dcStopped, {}); }
  // A failed ODBC call with its records, classified for the driver `kind`.
  static TDbStatus Failure(TDriverKind kind, TDiagnostics records);
  // A failure the layer finds itself (no connection, a statement that could not be set up):
  // `code` as given, `text` as its one record (SQLSTATE HY000, native 0).
  static TDbStatus Failure(TDbCode code, const std::string& text);
  // The same records under another code: a failure the connection's state shows to be a lost
  // connection, or a cancel of our own stop check.
  TDbStatus Recoded(TDbCode code) const;

  TDbCode Code() const { return code_; }
  bool Ok() const { return code_ == dcOk; }
  // No failure: dcOk or dcNoRow.
  bool Ran() const { return code_ == dcOk || code_ == dcNoRow; }
  bool Failed() const { return !Ran(); }
  const TDiagnostics& Records() const { return records_; }
  // The records as one log line (DiagText); empty without a failure.
  std::string Text() const { return DiagText(records_); }
  // The first record's SQLSTATE and native code with the text of all: "SQLSTATE 40001,
  // native 1213: <text>". For log lines that must name the codes.
  std::string CodedText() const;

  // As the database layer's old bool: ran and, for a SELECT, stands on a row.
  explicit operator bool() const { return Ok(); }

 private:
  TDbStatus(TDbCode code, TDiagnostics records) : code_(code), records_(std::move(records)) {}

  TDbCode code_ = dcOk;
  TDiagnostics records_;
};

}  // namespace fw

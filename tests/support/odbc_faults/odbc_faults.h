// The fault-injecting ODBC driver manager of the test build (libfenwold_odbc_faults.so): put
// in front of the real one through FENWOLD_ODBC_LIB, it forwards every call and makes the
// k-th statement or commit of the process fail as the connection's own driver would report it.
//
// A test process finds the control functions with dlsym on the loaded shim (FaultControl in
// tests/support/odbc_faults/fault_control.h); a child process (fenwoldctl, fenwold) is armed
// through its environment:
//   FENWOLD_TEST_FAULT_AT=k                 the k-th statement or commit fails...
//   FENWOLD_TEST_FAULT_CLASS=name           ...with this class (FaultClassName)
//   FENWOLD_TEST_FAULT_EXIT_AFTER_COMMIT=k  _exit(kFaultExitStatus) right after the k-th
//                                           successful commit
// Counters and arming are process-wide and safe to use from any thread.
#pragma once

enum TFaultClass {
  fcDeadlock,     // deadlock or serialization failure; nothing was rolled back
  fcLockWait,     // a lock wait timed out
  fcInterrupted,  // the query was killed or cancelled
  fcRolledBack,   // the server rolled the transaction back, then the statement fails (deadlock)
  fcLost,         // the connection is gone before the call reached the server
  fcReplyLost,    // the call ran (a commit committed), then the connection is gone
  fcBadData,      // the data is refused (too long, a constraint)
  // The server ended the transaction and no statement says so: the statement runs in a new
  // one and succeeds. A commit is refused instead, as a cluster refuses one it aborted.
  fcEndedSilently,
  fcFaultClassCount
};

inline const char* FaultClassName(int c) {
  static const char* const names[fcFaultClassCount] = {
      "deadlock", "lock-wait",  "interrupted", "rolled-back",
      "lost",     "reply-lost", "bad-data",    "ended-silently"};
  return c >= 0 && c < fcFaultClassCount ? names[c] : "?";
}

inline constexpr int kFaultExitStatus = 86;

// The exported control functions (extern "C", looked up by these names).
extern "C" {
// Starts counting afresh; the k-th (1-based) statement or commit from now fails with `c`.
typedef void (*TFaultArm)(int k, int c);
// No fault from now on (counting goes on).
typedef void (*TFaultDisarm)();
// Statements (SQLExecDirect, SQLExecute) and commits (SQLEndTran) since the last arm.
typedef long (*TFaultCount)();
// 1 once the armed fault was injected.
typedef int (*TFaultFired)();
// Ends the process with _exit(kFaultExitStatus) right after the k-th successful commit from
// now; 0 turns it off.
typedef void (*TFaultExitAfterCommit)(int k);
}

// Runs one statement (db/odbc_params.h) on a thread kept for its connection, so that the
// calling thread stays responsive (through its exec-wait hook) while the statement runs, and
// returns as soon as the statement has ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/odbc_params.h"
#include "platform/odbc_headers.h"

namespace fw {

class TStatementWorker {
 public:
  TStatementWorker();  // throws std::system_error when no thread can be started
  ~TStatementWorker();
  TStatementWorker(const TStatementWorker&) = delete;
  TStatementWorker& operator=(const TStatementWorker&) = delete;

  // One execution at a time, `buffers` filled as OdbcRun fills them; SQL_ERROR when the call
  // raised.
  SQLRETURN Run(SQLHSTMT handle, const TBoundSql& sql, std::vector<TOdbcParam>& buffers);
  // The last Run was cancelled by the calling thread's stop check.
  bool Cancelled() const { return cancelled_; }
  // Inside Run: a statement run from the exec-wait hook needs a thread of its own.
  bool Busy() const { return busy_; }

 private:
  enum : int { kIdle, kPosted, kDone };
  void Loop();

  std::mutex lock_;
  std::condition_variable posted_;
  std::condition_variable done_;
  std::atomic<int> state_{kIdle};
  bool stop_ = false;
  bool busy_ = false;  // only the calling thread reads and writes it
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  const TBoundSql* sql_ = nullptr;
  std::vector<TOdbcParam>* buffers_ = nullptr;
  SQLRETURN result_ = SQL_ERROR;
  bool cancelled_ = false;  // the caller's thread only
  std::thread thread_;      // last: starts once everything above exists
};

// The calling thread has an exec-wait hook, that is, an event loop to keep alive.
bool HasExecWaitHook();

// Calls the calling thread's exec-wait hook when about 50 ms have passed since its last call.
void PollExecWaitHook();

}  // namespace fw

// TODBCStatement: runs SQL text, with its values bound (db/bound_sql.h) or without, on one
// connection, and reads the current row by column name.
// Exec never raises; getters never fail (a missing column or NULL gives the empty value).
//
// Threads: call from the thread that owns the connection. With a wait hook set, Exec runs the
// statement on a worker thread of the statement's own and calls the hook on the caller's
// thread meanwhile; without one it runs on the caller's thread.
// Ownership: the caller owns the statement; its connection must outlive it, and frees its
// handle on Disconnect (the object stays, not Valid(), every Exec then fails as dcLost).
// Failures: every Exec and Skip returns a TDbStatus and keeps it (LastStatus); a failure leaves
// no row to read, and in a guard's unit it keeps the unit from committing (db/transaction.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/bound_sql.h"
#include "db/odbc.h"
#include "db/odbc_params.h"
#include "db/status.h"
#include "platform/datetime.h"
#include "platform/odbc_headers.h"

namespace fw {

enum TSkipKind { skNext = 0, skFirst = 1, skLast = 2, skPrior = 3, skAbsolute = 4, skRelative = 5 };

enum TColumnClass : uint8_t {
  ctOther = 0,
  ctString = 1,
  ctInteger = 2,
  ctFloat = 3,
  ctBoolean = 4,
  ctDate = 5,
  ctTime = 6,
  ctDateTime = 7,
  ctMemo = 8,
};

struct TColInfo {
  std::string name;  // upper-cased, at most 128 characters
  TColumnClass cls = ctOther;
  int32_t size = 0;
  SQLLEN indicator = 0;
};

class TStatementWorker;

// What the caller does with the rows a statement reads. A read-only cursor asks the driver for
// no row locks or row versions; an updatable one takes the best concurrency the driver offers.
enum TCursorAccess { caUpdatable, caReadOnly };

// How a failed statement counts against the transaction it runs in (db/transaction.h).
enum TExecUse {
  euWork,   // any failure keeps the transaction from committing
  euProbe,  // a refusal the caller expects and answers (FOR UPDATE where the database lacks
            // it): dcBadData does not count, but on PostgreSQL (which aborts the transaction
            // there); a lost connection or a server-side rollback always does
};

#if defined(__GNUC__)
#define FW_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define FW_PRINTF_FORMAT(f, a)
#endif

// How a statement reads its columns: with SQLGetData where the driver gets any column in any
// order (bound otherwise), or bound always, every row copied into the statement's buffers at
// the fetch, which on MariaDB's driver costs a fraction of a row's SQLGetData calls.
enum TColumnReads { crAsDriverNeeds, crBound };

class TODBCStatement {
 public:
  TODBCStatement(TODBC& connection, TCursorAccess access = caUpdatable,
                 TColumnReads reads = crAsDriverNeeds);
  ~TODBCStatement();
  TODBCStatement(const TODBCStatement&) = delete;
  TODBCStatement& operator=(const TODBCStatement&) = delete;

  bool Valid() const { return valid_; }
  // dcOk when it ran (a SELECT: and stands on its first row), dcNoRow for a SELECT without
  // rows; a failure otherwise, dcStopped when the stop check cancelled it.
  TDbStatus Exec(const std::string& sql, TExecUse use = euWork);
  // The same with the values bound to the text's markers (db/bound_sql.h).
  TDbStatus Exec(const TBoundSql& sql, TExecUse use = euWork);
  TDbStatus Exec(const char* sql, TExecUse use = euWork) { return Exec(std::string(sql), use); }
  TDbStatus ExecFmt(const char* format, ...) FW_PRINTF_FORMAT(2, 3);
  // dcOk on a row, dcNoRow past the last one.
  TDbStatus Skip(TSkipKind kind = skNext, SQLLEN count = 1);
  // What the last Exec or Skip returned; for a statement that could not be set up, why.
  const TDbStatus& LastStatus() const { return last_; }
  // Rows changed by the last INSERT, UPDATE or DELETE; -1 when the driver cannot tell.
  SQLLEN RowsAffected() const;

  std::string FieldAsString(const std::string& name);
  int32_t FieldAsInteger(const std::string& name);
  bool FieldAsBoolean(const std::string& name);
  // Today's date (00:00) for a missing column or one that is not a date or time.
  TDateTime FieldAsDateTime(const std::string& name);

  // For callers not yet switched to LastStatus(): its text (records joined with " | "), and
  // whether it is dcLost or dcTryAgain.
  std::string ErrorText() const { return last_.Text(); }
  bool LostConnection() const { return last_.Code() == dcLost; }
  bool TryAgain() const { return last_.Code() == dcTryAgain; }

  // -1 for a name not in the result. The getters by index take what it gives, and read as the
  // getters by name do; a caller reading many rows looks its columns up once.
  int ColumnIndex(const std::string& name) const;
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  TColumnClass ColumnClass(int index) const;
  int32_t ColumnSize(int index) const;
  std::string ColumnName(int index) const;
  std::string ColumnText(int index);
  int32_t ColumnInteger(int index);
  TDateTime ColumnDateTime(int index);

  bool ForwardOnly() const { return forwardOnly_; }
  bool CanRefresh() const { return canRefresh_; }
  SQLHSTMT Handle() const { return handle_; }
  TODBC& Connection() const { return connection_; }

  // The connection frees statements still open when it disconnects; the object stays, unusable.
  void Release();

 private:
  bool Setup(TCursorAccess access);
  SQLRETURN Run(const TBoundSql& sql);
  void DescribeColumns();
  SQLLEN GetData(int index, SQLSMALLINT targetType, SQLPOINTER target, SQLLEN targetLength);
  SQLRETURN GetDataRc(int index, SQLSMALLINT targetType, SQLPOINTER target, SQLLEN targetLength,
                      SQLLEN& indicator);
  std::string ReadText(int index, SQLLEN length);
  void ForgetRow();
  // The failure of the last ODBC call on the handle, read once.
  TDbStatus FailureOfHandle();
  TDbStatus Note(TDbStatus status, TExecUse use = euWork);

  TODBC& connection_;
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  bool valid_ = false;
  bool registered_ = false;
  bool bindColumns_ = false;
  std::vector<TColInfo> columns_;
  std::vector<std::vector<char>> buffers_;
  bool forwardOnly_ = true;
  bool canRefresh_ = false;
  bool canAbsolute_ = false;
  bool canRelative_ = false;
  bool cancelled_ = false;  // the last run was cancelled by the stop check
  std::string runFailure_;  // why the last run could not even be handed to the driver
  bool onRow_ = false;      // the last fetch brought a row
  // Texts of the current row already read: a driver may not give a column twice.
  std::vector<std::string> rowTexts_;
  std::vector<bool> rowTextRead_;
  std::vector<char> readBuffer_;  // of ReadText
  TDbStatus setup_;  // what Exec returns on a statement that is not Valid()
  TDbStatus last_;
  std::vector<TOdbcParam> params_;  // bound to the handle until the next Exec
  std::unique_ptr<TStatementWorker> worker_;
};

// The statement or its connection has lost the connection (the connection may have learnt it
// from another statement, or from a commit).
inline bool LostConnection(const TODBCStatement& statement) {
  return statement.LostConnection() || statement.Connection().LostConnection();
}

// The calling thread's "while waiting" callback: while Exec waits for its statement to end
// (on a worker thread), it calls the hook at most about every 50 ms, so the thread can serve
// its event loop or a watchdog during long statements and long runs of short ones. The hook
// must not start a statement on a connection whose statement is running. Empty: none.
void SetExecWaitHook(std::function<void()> hook);
// The calling thread's "give up" test: while a statement runs on the worker (that is, with a
// wait hook set), a true answer cancels it (SQLCancel), and Exec returns false as for any
// failed statement. Empty: none.
void SetExecCancelCheck(std::function<bool()> check);

}  // namespace fw

// Running a statement and moving its cursor: every call ends in a TDbStatus, kept as the
// statement's last status, so that no caller reads the handle's diagnostics again.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <system_error>

#include "db/diagnostics.h"
#include "db/driver_text.h"
#include "db/odbc_binding.h"
#include "db/odbc_text.h"
#include "db/statement.h"
#include "db/statement_worker.h"
#include "platform/strings.h"

namespace fw {

namespace {

// BEGIN, COMMIT, ROLLBACK (not ROLLBACK TO), START TRANSACTION, END: text that ends or begins a
// transaction behind its guard's back.
bool EndsTransaction(const std::string& sql) {
  std::string words = UpperAscii(TrimControl(std::string_view(sql).substr(0, 40)));
  for (char& c : words) {
    if (c == '\t' || c == '\r' || c == '\n' || c == ';') c = ' ';
  }
  const size_t end = words.find(' ');
  const std::string first = words.substr(0, end);
  if (first == "BEGIN" || first == "COMMIT" || first == "END" || first == "START") return true;
  if (first != "ROLLBACK") return false;
  const size_t next = words.find_first_not_of(' ', end);
  const std::string rest = next == std::string::npos ? std::string() : words.substr(next);
  return rest.rfind("TO ", 0) != 0 && rest.rfind("WORK TO ", 0) != 0 &&
         rest.rfind("TRANSACTION TO ", 0) != 0;
}

}  // namespace

TDbStatus TODBCStatement::Exec(const std::string& sql, TExecUse use) {
  return Exec(TBoundSql(sql), use);
}

TDbStatus TODBCStatement::Exec(const TBoundSql& bound, TExecUse use) {
  if (!valid_) return Note(setup_);
  if (connection_.Refusal().Failed()) return Note(connection_.Refusal());
  OdbcApi.SQLFreeStmt(handle_, SQL_UNBIND);
  OdbcApi.SQLFreeStmt(handle_, SQL_CLOSE);
  if (!params_.empty()) {
    OdbcApi.SQLFreeStmt(handle_, SQL_RESET_PARAMS);
    params_.clear();
  }
  ForgetRow();
  const std::string& sql = bound.text;
  const SQLRETURN rc = Run(bound);
  const std::string verb = UpperAscii(TrimControl(std::string_view(sql).substr(0, 6)));
  if (Succeeded(rc) && connection_.InUnit() && EndsTransaction(sql)) {
    // What follows would run outside the unit, or commit alone where the driver still thinks
    // a transaction is open (SQLite3 ODBC, whose own ROLLBACK then fails and leaves it so):
    // open one and end it through the driver, so that the rest runs in a new one the guard
    // rolls back, and make sure the guard never commits.
    OdbcExecDirect(handle_, "BEGIN");
    OdbcApi.SQLFreeStmt(handle_, SQL_CLOSE);
    connection_.EndTrans(false);
    return Note(TDbStatus::Failure(
        dcBadData, "A statement ended the transaction of its unit; the unit cannot commit."));
  }
  if (Succeeded(rc)) {
    DescribeColumns();
    if (verb != "SELECT" || ThirdWord(sql) == "INTO") return Note(TDbStatus::Success());
    return Skip(skNext, 1);
  }
  // SQL_NO_DATA: it ran and touched no row; a change of no rows is still a change that ran.
  if (rc == SQL_NO_DATA) {
    const bool change = verb == "INSERT" || verb == "DELETE" || verb == "UPDATE";
    return Note(change ? TDbStatus::Success() : TDbStatus::NoRow());
  }
  return Note(FailureOfHandle(), use);
}

SQLLEN TODBCStatement::RowsAffected() const {
  SQLLEN rows = -1;
  if (!valid_ || !Succeeded(OdbcApi.SQLRowCount(handle_, &rows))) return -1;
  return rows;
}

TDbStatus TODBCStatement::ExecFmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string sql;
  if (n > 0) {
    sql.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(sql.data(), sql.size(), format, args);
    sql.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return Exec(sql);
}

SQLRETURN TODBCStatement::Run(const TBoundSql& sql) {
  try {
    // The worker keeps the caller's event loop alive while the driver works; a thread without
    // one (a tool, a test) would gain nothing but two thread switches per statement, which
    // cost as much as a whole SQLite INSERT.
    cancelled_ = false;
    if (!HasExecWaitHook()) {
      return OdbcRun(handle_, sql, params_);
    }
    TStatementWorker* worker = connection_.IdleWorker();
    if (worker == nullptr) {
      if (!worker_) worker_ = std::make_unique<TStatementWorker>();
      worker = worker_.get();
    }
    const SQLRETURN rc = worker->Run(handle_, sql, params_);
    cancelled_ = worker->Cancelled();
    return rc;
  } catch (const std::system_error&) {
    runFailure_ = "No thread could be started to run the statement.";
    return SQL_ERROR;
  } catch (...) {
    runFailure_ = "The statement could not be handed to its thread.";
    return SQL_ERROR;
  }
}

TDbStatus TODBCStatement::Skip(TSkipKind kind, SQLLEN count) {
  ForgetRow();
  if (!valid_) return Note(setup_);
  if (bindColumns_) {
    for (auto& buffer : buffers_) {
      std::fill_n(buffer.begin(), std::min(buffer.size(), kOdbcTextUnit), '\0');
    }
  }
  SQLRETURN rc;
  if (forwardOnly_ || kind == skNext) {
    rc = OdbcApi.SQLFetch(handle_);
  } else {
    const bool absolute = kind == skFirst || kind == skLast || kind == skAbsolute;
    if (kind > skRelative || (absolute ? !canAbsolute_ : !canRelative_)) {
      return Note(TDbStatus::Failure(dcBadData, "The cursor cannot move that way."));
    }
    static constexpr SQLSMALLINT kOrientation[] = {SQL_FETCH_NEXT,     SQL_FETCH_FIRST,
                                                   SQL_FETCH_LAST,     SQL_FETCH_PRIOR,
                                                   SQL_FETCH_ABSOLUTE, SQL_FETCH_RELATIVE};
    rc = OdbcApi.SQLFetchScroll(handle_, kOrientation[kind], count);
  }
  if (Succeeded(rc)) {
    onRow_ = true;
    return Note(TDbStatus::Success());
  }
  if (rc == SQL_NO_DATA) return Note(TDbStatus::NoRow());
  return Note(FailureOfHandle());
}

TDbStatus TODBCStatement::FailureOfHandle() {
  if (!runFailure_.empty()) {
    TDbStatus status = TDbStatus::Failure(dcBadData, runFailure_);
    runFailure_.clear();
    return status;
  }
  TDbStatus status =
      TDbStatus::Failure(connection_.DriverKind(), ReadDiagnostics(SQL_HANDLE_STMT, handle_));
  // Our own stop check cancelled it: whatever the driver calls that, it is no fault of the data.
  if (cancelled_) return status.Recoded(dcStopped);
  // Asking the driver clears the handle's diagnostics: read above, first.
  if (status.Code() != dcLost && connection_.ConnectionDead()) status = status.Recoded(dcLost);
  if (status.Code() == dcLost) connection_.NoteLost();
  return status;
}

TDbStatus TODBCStatement::Note(TDbStatus status, TExecUse use) {
  last_ = std::move(status);
  // PostgreSQL aborts the transaction at any failed statement, and answers a later COMMIT
  // with a rollback that reads as success: nothing is excused there.
  const bool excused =
      use == euProbe && last_.Code() == dcBadData && connection_.DriverKind() != dkPostgres;
  if (last_.Failed() && !excused) {
    connection_.NoteStatementFailure(last_);
  }
  return last_;
}

}  // namespace fw

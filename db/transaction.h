// TTransaction: one transaction on a connection, rolled back when it leaves scope uncommitted.
// TSavepoint: a part of it that can be undone alone, rolled back to when it leaves scope
// unreleased. Failures are results; nothing here raises or logs.
//
// A manual-commit connection always has a transaction open: the guard ends it (SQLEndTran).
// On an auto-commit connection the guard begins one with BEGIN and ends it with COMMIT or
// ROLLBACK, run on the statement given (or on one of its own); the connection's other work
// stays auto-commit.
#pragma once

#include <memory>
#include <string>

#include "db/statement.h"

namespace fw {

class TTransaction {
 public:
  explicit TTransaction(TODBC& connection);
  explicit TTransaction(TODBCStatement& statement);
  ~TTransaction() { Rollback(); }
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;

  // How its begin went; Began() is Status().Ok().
  const TDbStatus& Status() const { return begin_; }
  bool Began() const { return began_; }
  // Ok when it committed, now or before. Never Ok for a transaction that did not begin or was
  // rolled back. A commit that fails on a live connection leaves the transaction to Rollback
  // (or the destructor).
  TDbStatus Commit();
  // Ok when nothing was open.
  TDbStatus Rollback();
  // Rolls back and begins again: for a transaction the database ended by itself, so that what
  // runs after stays under the guard. As Status().
  TDbStatus Renew();
  bool Open() const { return open_; }

  // The status of the last begin, commit or rollback, and whether the connection is gone.
  const TDbStatus& LastStatus() const { return last_; }
  std::string ErrorText() const { return last_.Text(); }
  bool Lost() const;

  TODBC& Connection() const { return connection_; }
  // What savepoints run on.
  TODBCStatement& Statement();

 private:
  TODBC& connection_;
  std::unique_ptr<TODBCStatement> own_;  // an auto-commit connection without a statement given
  TODBCStatement* statement_ = nullptr;
  bool explicit_;  // BEGIN/COMMIT/ROLLBACK rather than SQLEndTran
  bool began_ = false;
  bool open_ = false;
  bool committed_ = false;
  TDbStatus begin_;
  TDbStatus last_;
};

class TSavepoint {
 public:
  // `name`: an SQL identifier; a savepoint of the same name inside this one hides it.
  TSavepoint(TTransaction& transaction, std::string name);
  ~TSavepoint() { RollBack(); }
  TSavepoint(const TSavepoint&) = delete;
  TSavepoint& operator=(const TSavepoint&) = delete;

  const TDbStatus& Status() const { return begin_; }
  bool Began() const { return begin_.Ok(); }
  // Keeps the work done since it; Ok when it was released or rolled back before, its begin's
  // failure when it never began.
  TDbStatus Release();
  // Undoes the work done since it and releases it; as Release when nothing is open.
  TDbStatus RollBack();

 private:
  TODBCStatement& statement_;
  std::string name_;
  bool open_ = false;
  TDbStatus begin_;
};

}  // namespace fw

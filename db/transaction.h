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

  // False when BEGIN failed (an auto-commit connection only).
  bool Began() const { return began_; }
  // True when it committed or nothing was open. A commit that fails on a live connection
  // leaves the transaction to Rollback (or the destructor).
  bool Commit();
  void Rollback();
  // Rolls back and begins again: for a transaction the database ended by itself, so that what
  // runs after stays under the guard. False as Began.
  bool Renew();
  bool Open() const { return open_; }

  // Why the last Begin, Commit or Rollback failed, and whether the connection went with it.
  std::string ErrorText() const;
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
};

class TSavepoint {
 public:
  // `name`: an SQL identifier; a savepoint of the same name inside this one hides it.
  TSavepoint(TTransaction& transaction, std::string name);
  ~TSavepoint() { RollBack(); }
  TSavepoint(const TSavepoint&) = delete;
  TSavepoint& operator=(const TSavepoint&) = delete;

  bool Began() const { return open_; }
  // Keeps the work done since it; true when nothing was open.
  bool Release();
  // Undoes the work done since it and releases it; true when nothing was open.
  bool RollBack();

 private:
  TODBCStatement& statement_;
  std::string name_;
  bool open_ = false;
};

}  // namespace fw

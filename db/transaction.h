// TTransaction: one transaction on a connection, rolled back when it leaves scope uncommitted.
// TSavepoint: a part of it that can be undone alone, rolled back to when it leaves scope
// unreleased. Failures are results; nothing here raises or logs. Use a guard on the thread
// that runs the connection's statements.
//
// The guard ends its transaction with SQLEndTran. On an auto-commit connection it turns
// auto-commit off for its unit and back on after it, so that a statement run after the server
// ended the transaction by itself (a deadlock victim, a Galera abort) lands in a new
// transaction that the guard rolls back, instead of committing alone. The connection's other
// work stays auto-commit.
//
// A unit with a failed statement never commits: Commit rolls back and returns the first
// failure since the begin, unless a savepoint rolled back to (successfully) undid it.
//
// That needs the server to report its end of the transaction at some statement. A unit made
// with upSavepoint does not trust that: it sets a savepoint at its begin and releases it just
// before COMMIT. A transaction the server ended and replaced (InnoDB then runs later statements
// in a new one) lacks the savepoint, so the release fails and the part after the end never
// commits alone. Where the database refuses savepoints the unit goes on without one. Not for
// units with DDL: MariaDB commits at DDL, and the savepoint goes too.
#pragma once

#include <memory>
#include <string>

#include "db/statement.h"

namespace fw {

enum TUnitProof {
  upFailures,   // the failures reported since the begin decide
  upSavepoint,  // and the savepoint set at the begin must still stand at the commit
};

class TTransaction {
 public:
  explicit TTransaction(TODBC& connection, TUnitProof proof = upFailures);
  explicit TTransaction(TODBCStatement& statement, TUnitProof proof = upFailures);
  ~TTransaction() { Rollback(); }
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;

  // How its begin went; Began() is Status().Ok(). After a failed begin nothing is open, and
  // the connection refuses statements with that status until the guard is renewed or gone:
  // nothing of the unit runs outside a transaction.
  const TDbStatus& Status() const { return begin_; }
  bool Began() const { return began_; }
  // Ok only when it committed, now or before. A failure since the begin, a failed COMMIT, a
  // lost connection or (upSavepoint) a transaction the server ended meanwhile (dcTryAgain, the
  // release's records): the work is rolled back (or gone) and the failure returned.
  TDbStatus Commit();
  // Ok when nothing was open.
  TDbStatus Rollback();
  // Rolls back and begins again: for a transaction the database ended by itself, so that what
  // runs after stays under the guard. As Status().
  TDbStatus Renew();
  bool Open() const { return open_; }

  // After a failed Commit: whether its COMMIT reached the driver. When it did not (a failure
  // before it, or the release of the savepoint), nothing of the unit was committed, even with
  // the connection lost.
  bool CommitSent() const { return commitSent_; }

  // The status of the last begin, commit or rollback, and whether the connection is gone.
  const TDbStatus& LastStatus() const { return last_; }
  std::string ErrorText() const { return last_.Text(); }
  bool Lost() const;

  TODBC& Connection() const { return connection_; }
  // What savepoints run on.
  TODBCStatement& Statement();

 private:
  TDbStatus End(bool commit);
  // upSavepoint: the begin's savepoint still stands; rolls back when it does not.
  TDbStatus Proven();

  TODBC& connection_;
  TUnitProof proof_;
  std::unique_ptr<TODBCStatement> own_;  // for savepoints, without a statement given
  TODBCStatement* statement_ = nullptr;
  uint64_t session_ = 0;  // the connection's Session() at the begin
  uint64_t mark_ = 0;     // the connection's FailureMark() at the begin
  bool began_ = false;
  bool open_ = false;
  bool committed_ = false;
  bool commitSent_ = false;
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
  // Undoes the work done since it and releases it, and with it the failures since it: the
  // transaction may commit the rest. As Release when nothing is open.
  TDbStatus RollBack();

 private:
  TODBCStatement& statement_;
  uint64_t mark_ = 0;
  std::string name_;
  bool open_ = false;
  TDbStatus begin_;
};

}  // namespace fw

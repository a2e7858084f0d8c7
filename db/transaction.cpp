#include "db/transaction.h"

namespace fw {

namespace {

constexpr char kUnitSavepoint[] = "fw_unit";

}  // namespace

TTransaction::TTransaction(TODBC& connection, TUnitProof proof)
    : connection_(connection), proof_(proof) {
  Renew();
}

TTransaction::TTransaction(TODBCStatement& statement, TUnitProof proof)
    : connection_(statement.Connection()), proof_(proof), statement_(&statement) {
  Renew();
}

TODBCStatement& TTransaction::Statement() {
  if (statement_ == nullptr) {
    own_ = std::make_unique<TODBCStatement>(connection_);
    statement_ = own_.get();
  }
  return *statement_;
}

TDbStatus TTransaction::Commit() {
  if (committed_) return TDbStatus::Success();
  if (!began_) return last_ = begin_;
  if (!open_) {
    return last_ =
               TDbStatus::Failure(dcBadData, "The transaction was rolled back; nothing to commit.");
  }
  const TDbStatus failed = connection_.FailureSince(mark_);
  if (failed.Failed()) {
    End(false);
    return last_ = failed;
  }
  if (const TDbStatus proven = Proven(); proven.Failed()) return last_ = proven;
  commitSent_ = true;
  last_ = End(true);
  committed_ = last_.Ok();
  return last_;
}

TDbStatus TTransaction::Rollback() {
  if (!began_ && session_ == connection_.Session()) connection_.SetRefusal(TDbStatus::Success());
  if (!open_) return TDbStatus::Success();
  return last_ = End(false);
}

// Ends the unit either way: a commit that failed is rolled back here, never left open.
TDbStatus TTransaction::End(bool commit) {
  open_ = false;
  if (!connection_.Connected() || connection_.Session() != session_) {
    // A disconnect meanwhile rolled the work back.
    return TDbStatus::Failure(dcLost,
                              "The database connection was closed before the transaction ended.");
  }
  TDbStatus status = connection_.EndTrans(commit);
  TDbStatus rollback = commit ? TDbStatus::Success() : status;
  // A lost connection took the transaction with it; a rollback would only overwrite why.
  if (commit && status.Failed() && !connection_.LostConnection()) {
    rollback = connection_.EndTrans(false);
  }
  connection_.ForgetFailuresSince(mark_);
  connection_.EndUnit(rollback);
  return status;
}

TDbStatus TTransaction::Proven() {
  if (proof_ != upSavepoint) return TDbStatus::Success();
  const TDbStatus released = Statement().Exec(std::string("RELEASE SAVEPOINT ") + kUnitSavepoint);
  if (released.Ok()) return released;
  End(false);
  const TDbCode code = released.Code();
  return code == dcLost || code == dcStopped ? released : released.Recoded(dcTryAgain);
}

TDbStatus TTransaction::Renew() {
  Rollback();
  committed_ = false;
  commitSent_ = false;
  session_ = connection_.Session();
  begin_ = connection_.BeginUnit();
  mark_ = connection_.FailureMark();
  if (begin_.Ok() && proof_ == upSavepoint) {
    // The first statement of the unit, so that everything after it is inside what it proves.
    open_ = true;
    const TDbStatus set = Statement().Exec(std::string("SAVEPOINT ") + kUnitSavepoint);
    if (set.Failed()) {
      End(false);  // forgets the failure with the rest of the unit
      if (set.Code() == dcBadData) {
        // A database without savepoints: the failures it reports decide, as they always did.
        proof_ = upFailures;
        return Renew();
      }
      begin_ = set;
    }
  }
  began_ = open_ = begin_.Ok();
  if (!began_) connection_.SetRefusal(begin_);
  last_ = begin_;
  return begin_;
}

bool TTransaction::Lost() const {
  return connection_.LostConnection() || last_.Code() == dcLost;
}

TSavepoint::TSavepoint(TTransaction& transaction, std::string name)
    : statement_(transaction.Statement()), name_(std::move(name)) {
  begin_ =
      transaction.Open()
          ? statement_.Exec("SAVEPOINT " + name_)
          : TDbStatus::Failure(dcBadData, "No transaction is open for savepoint " + name_ + ".");
  mark_ = statement_.Connection().FailureMark();
  open_ = begin_.Ok();
}

TDbStatus TSavepoint::Release() {
  if (!open_) return begin_;
  open_ = false;
  return statement_.Exec("RELEASE SAVEPOINT " + name_);
}

TDbStatus TSavepoint::RollBack() {
  if (!open_) return begin_;
  open_ = false;
  // ROLLBACK TO keeps the savepoint: released too, so that a loop does not pile them up.
  TDbStatus status = statement_.Exec("ROLLBACK TO SAVEPOINT " + name_);
  if (!status.Ok()) return status;
  statement_.Connection().ForgetFailuresSince(mark_);
  return statement_.Exec("RELEASE SAVEPOINT " + name_);
}

}  // namespace fw

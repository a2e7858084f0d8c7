#include "db/transaction.h"

namespace fw {

namespace {

TDbStatus NotConnected() {
  return TDbStatus::Failure(dcLost, "The database is not connected; no transaction began.");
}

}  // namespace

TTransaction::TTransaction(TODBC& connection)
    : connection_(connection), explicit_(!connection.ManualCommit()) {
  if (explicit_) {
    own_ = std::make_unique<TODBCStatement>(connection_);
    statement_ = own_.get();
  }
  Renew();
}

TTransaction::TTransaction(TODBCStatement& statement)
    : connection_(statement.Connection()),
      statement_(&statement),
      explicit_(!statement.Connection().ManualCommit()) {
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
  if (explicit_) {
    // A failed COMMIT has ended the transaction on every server we know.
    open_ = false;
    last_ = statement_->Exec("COMMIT");
    committed_ = last_.Ok();
    return last_;
  }
  // A connection dropped meanwhile rolled the work back.
  if (!connection_.Connected()) {
    open_ = false;
    return last_ =
               TDbStatus::Failure(dcLost, "The database connection was closed before the commit.");
  }
  last_ = connection_.EndTrans(true);
  if (last_.Ok()) {
    open_ = false;
    committed_ = true;
    return last_;
  }
  // A lost connection took the transaction with it; a rollback would only overwrite why.
  open_ = !connection_.LostConnection();
  return last_;
}

TDbStatus TTransaction::Rollback() {
  if (!open_) return TDbStatus::Success();
  open_ = false;
  last_ = explicit_ ? statement_->Exec("ROLLBACK") : connection_.EndTrans(false);
  return last_;
}

TDbStatus TTransaction::Renew() {
  Rollback();
  committed_ = false;
  if (explicit_) {
    begin_ = statement_->Exec("BEGIN");
  } else {
    begin_ = connection_.Connected() ? TDbStatus::Success() : NotConnected();
  }
  began_ = open_ = begin_.Ok();
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
  return statement_.Exec("RELEASE SAVEPOINT " + name_);
}

}  // namespace fw

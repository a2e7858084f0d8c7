#include "db/transaction.h"

namespace fw {

TTransaction::TTransaction(TODBC& connection)
    : connection_(connection), explicit_(!connection.ManualCommit()) {
  if (explicit_) {
    own_ = std::make_unique<TODBCStatement>(connection_);
    statement_ = own_.get();
    began_ = open_ = statement_->Exec("BEGIN");
  } else {
    began_ = open_ = connection_.Connected();
  }
}

TTransaction::TTransaction(TODBCStatement& statement)
    : connection_(statement.Connection()),
      statement_(&statement),
      explicit_(!statement.Connection().ManualCommit()) {
  began_ = open_ = explicit_ ? statement_->Exec("BEGIN") : connection_.Connected();
}

TODBCStatement& TTransaction::Statement() {
  if (statement_ == nullptr) {
    own_ = std::make_unique<TODBCStatement>(connection_);
    statement_ = own_.get();
  }
  return *statement_;
}

bool TTransaction::Commit() {
  if (!open_) return true;
  if (explicit_) {
    // A failed COMMIT has ended the transaction on every server we know.
    open_ = false;
    return statement_->Exec("COMMIT");
  }
  // A connection dropped meanwhile rolled the work back.
  if (!connection_.Connected()) {
    open_ = false;
    return false;
  }
  if (connection_.EndTrans(true)) {
    open_ = false;
    return true;
  }
  // A lost connection took the transaction with it; a rollback would only overwrite why.
  open_ = !connection_.LostConnection();
  return false;
}

void TTransaction::Rollback() {
  if (!open_) return;
  open_ = false;
  if (explicit_) {
    statement_->Exec("ROLLBACK");
  } else {
    connection_.EndTrans(false);
  }
}

bool TTransaction::Renew() {
  Rollback();
  began_ = open_ = explicit_ ? statement_->Exec("BEGIN") : connection_.Connected();
  return began_;
}

std::string TTransaction::ErrorText() const {
  return explicit_ ? statement_->ErrorText() : connection_.LastError();
}

bool TTransaction::Lost() const {
  return connection_.LostConnection() || (explicit_ && LostConnection(*statement_));
}

TSavepoint::TSavepoint(TTransaction& transaction, std::string name)
    : statement_(transaction.Statement()), name_(std::move(name)) {
  open_ = transaction.Open() && statement_.Exec("SAVEPOINT " + name_);
}

bool TSavepoint::Release() {
  if (!open_) return true;
  open_ = false;
  return statement_.Exec("RELEASE SAVEPOINT " + name_);
}

bool TSavepoint::RollBack() {
  if (!open_) return true;
  open_ = false;
  // ROLLBACK TO keeps the savepoint: released too, so that a loop does not pile them up.
  return statement_.Exec("ROLLBACK TO SAVEPOINT " + name_) &&
         statement_.Exec("RELEASE SAVEPOINT " + name_);
}

}  // namespace fw

// The end of a card file's staging: its outcome decided from what the lines did and from the
// commit, and the file moved, remembered or left for the next scan accordingly.
#include <string>
#include <utility>

#include "db/transaction.h"
#include "intake/card_stager.h"
#include "log/log_texts.h"

namespace fw {

TFileOutcome TCardStager::Conclude(THeldFile& file, TTransaction& transaction,
                                   const TStageResult& staged, TConclusion c) {
  const std::string path = file.Path();
  const TLinesResult result = staged.result;
  const int errors = staged.errors;
  const std::string& lostText = staged.lostText;
  const TCardLedger::TKey& key = c.key;
  const TCardLedger::TAnswer ledger = c.ledger;
  TRejectReport& report = c.report;

  if (c.claim == clRefused) {
    transaction.Rollback();
    return AfterRefusedClaim(file, key, c.claimError);
  }
  if (result == lrStopped) {
    transaction.Rollback();
    log_.AddLine("Stop requested while staging " + path +
                 ": rolled back, the file stays in the drop folder");
    return foStopped;
  }
  if (result == lrConnectionLost) {
    transaction.Rollback();
    log_.AddLine(logtext::kLostDatabase + (" while staging " + path) +
                 ", will retry later: " + lostText);
    return foConnectionLost;
  }
  if (result == lrTryAgain) {
    // A deadlock or the like: no fault of the file, and the database is there.
    transaction.Rollback();
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later: " + lostText);
    return foLoadFailed;
  }

  if (errors > 0) {
    transaction.Rollback();
    // On a cluster another node's commit of the same file aborts ours at whatever statement
    // it reaches: that is no fault of the file.
    if (ledger == TCardLedger::laNotStaged && ledger_.LookUp(key) == TCardLedger::laStaged) {
      return MoveAlreadyStaged(file);
    }
    Reject(file, std::move(report), csRolledBack);
    return foRejected;
  }
  if (transaction.Commit().Ok()) {
    log_.AddLine(logtext::kPickedUp + path + c.readingNote);
    Dispose(file, dsDone, csMaybeCommitted);
    return foStaged;
  }
  return AfterFailedCommit(file, transaction, std::move(c));
}

TFileOutcome TCardStager::AfterFailedCommit(THeldFile& file, TTransaction& transaction,
                                            TConclusion c) {
  const std::string path = file.Path();
  const TCardLedger::TAnswer ledger = c.ledger;
  TRejectReport& report = c.report;
  if (transaction.Lost() && !transaction.CommitSent()) {
    // Lost before the COMMIT went out: nothing of the file can have been committed.
    log_.AddLine(logtext::kLostDatabase + (" while staging " + path) +
                 ", will retry later: " + transaction.ErrorText());
    return foConnectionLost;
  }
  if (transaction.Lost() && ledger == TCardLedger::laNotStaged) {
    // The ledger knows whether it was committed: the next scan asks it.
    log_.AddLine(logtext::kCommitOutcomeUnknown + path +
                 " (the database connection was lost); it stays in the drop folder and the "
                 "card_file ledger decides at the next scan: " +
                 transaction.ErrorText());
    return foCommitLedger;
  }
  if (transaction.Lost()) {
    // The server may have committed before the connection broke: an operator has to look,
    // staging the file again could stage its records twice.
    log_.AddLine(logtext::kCommitOutcomeUnknown + path +
                 " (the database connection was lost), moved to " + folders_.errors +
                 " for checking: " + transaction.ErrorText());
    report.reason =
        "the database connection was lost at the commit, which may have been "
        "made: check the staged records before putting the file back (" +
        transaction.ErrorText() + ")";
    Reject(file, std::move(report), csMaybeCommitted);
    return foCommitUnknown;
  }
  const std::string error = transaction.ErrorText();
  transaction.Rollback();
  if (ledger == TCardLedger::laNotStaged) {
    // A cluster refuses a commit that conflicts with another node's (the same file staged
    // there first, or rows another server wrote): the ledger tells which.
    if (ledger_.LookUp(c.key) == TCardLedger::laStaged) return MoveAlreadyStaged(file);
    log_.AddLine(logtext::kFailedToCommit + path + ", will retry later: " + error);
    return foLoadFailed;
  }
  log_.AddLine(logtext::kFailedToCommit + path + ": " + error);
  report.reason = "the commit failed: " + error;
  Reject(file, std::move(report), csRolledBack);
  return foRejected;
}

}  // namespace fw

// Application of one staged record to the card table, on MainDb.
#include <string>

#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
#include "intake/card_sql.h"
#include "intake/pass_cache.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"
#include "platform/strings.h"

namespace fw {

TApplyOutcome TFuturePass::ApplyFutureCard(TODBCStatement& staged) {
  TODBCStatement work(mainDb_);
  TODBCStatement reads(mainDb_, caReadOnly);
  const TStagedRecord record = ReadStagedRecord(staged);
  if (!LockingReadsKnown()) {
    const TDbStatus learnt = LearnLockingReads(reads);
    if (learnt.Failed()) {
      if (learnt.Code() == dcLost || LostConnection(reads)) return aoConnectionLost;
      if (learnt.Code() == dcStopped || StopRequested()) return aoStopped;
      return Keep(record, FailureText(learnt, LockingProbeSql()));
    }
  }
  return ApplyStagedRecord(record, work, reads);
}

TApplyOutcome TFuturePass::Keep(const TStagedRecord& staged, const std::string& why) {
  recordsKept_ = true;
  log_.AddLine("Staged record " + staged.id + " for card " + staged.number +
               " stays for the next pass: " + why);
  return aoKept;
}

// All statements of one record run one after the other on `work`: what a lookup returned is
// read at once, so one statement (and its worker) serves the whole pass.
//
// The record is claimed first: its delete opens the transaction that writes the card, and
// only the one pass whose delete removed the row goes on. Another instance's delete of the
// same row waits for that transaction and then finds nothing, so a record is applied once
// however many services walk the table; the card is read after the claim, locked where the
// database can, so that two records of one card never both add to the same old value.
//
// The first failure ends the unit: rolled back, the record stays staged for the next pass.
// Only a card write refused as bad data deletes the record (in a unit of its own).
TApplyOutcome TFuturePass::ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work,
                                             TODBCStatement& reads) {
  const std::string command = UpperAscii(staged.command);
  if (command.empty() || (command[0] != 'A' && command[0] != 'C')) return aoSkipped;
  if (!IsPlainInteger(staged.id)) return aoSkipped;  // not a row of ours: nothing to delete it by

  const auto cut = [&](const TDbStatus& status) {
    return status.Code() == dcLost || status.Code() == dcStopped || LostConnection(work) ||
           LostConnection(reads) || StopRequested();
  };
  const auto interrupted = [&] { return StopRequested() ? aoStopped : aoConnectionLost; };
  const std::string& id = staged.id;
  const std::string& number = staged.number;

  TTransaction transaction(work, upSavepoint);
  if (!transaction.Began()) {
    // Without it the card's write would commit on its own, claim or no claim.
    if (cut(transaction.Status())) return interrupted();
    return Keep(staged, FailureText(transaction.Status(), "BEGIN"));
  }
  const TApplyOutcome claim = Claim(staged, work);
  if (claim != aoDone) return claim;
  // The claim may have waited for a lock while a stop came: nothing of the record is written.
  if (StopRequested()) return aoStopped;

  const TSql sql(mainDb_.DriverKind());
  TStatementLookups lookups(reads, sql);
  lookups.LockCards(lockingReads_ == lrYes);
  TCardPlan plan;
  TDbStatus failure;
  if (PlanStagedRecord(staged, lookups, mainDb_.DriverKind(), clock_, plan, failure) ==
      pnFailed) {
    if (cut(failure)) return interrupted();
    transaction.Rollback();
    return Keep(staged, FailureText(failure, lookups.FailedSql()));
  }
  for (const std::string& line : plan.lines) log_.AddLine(line);

  if (plan.write) {
    const TBoundSql write = CardWriteSql(plan);
    const TDbStatus written = work.Exec(write);
    if (written.Failed()) {
      if (cut(written)) return interrupted();
      transaction.Rollback();
      if (written.Code() != dcBadData) return Keep(staged, FailureText(written, write));
      log_.AddLine(logtext::kSqlErr + write.Rendered());
      // Some databases refuse every later statement of a transaction once one failed: the
      // record goes in a transaction of its own, claimed again.
      TTransaction again(work, upSavepoint);
      if (!again.Began()) {
        if (cut(again.Status())) return interrupted();
        return Keep(staged, FailureText(again.Status(), "BEGIN"));
      }
      const TApplyOutcome reclaimed = Claim(staged, work);
      if (reclaimed != aoDone) return reclaimed;
      if (!again.Commit()) {
        if (again.Lost() || StopRequested()) return interrupted();
        log_.AddLine(logtext::kCannot + ("commit staged record " + id) + " for card " + number +
                     ": " + again.ErrorText());
        return aoKept;
      }
      return aoDone;
    }
  }
  if (!transaction.Commit()) {
    if (transaction.Lost() || StopRequested()) return interrupted();
    log_.AddLine(logtext::kCannot + ("commit staged record " + id) + " for card " + number + ": " +
                 transaction.ErrorText());
    return aoKept;
  }
  return aoDone;
}

TApplyOutcome TFuturePass::Claim(const TStagedRecord& staged, TODBCStatement& work) {
  const TBoundSql claim = ClaimSql(staged.id);
  const TDbStatus status = work.Exec(claim);
  if (status.Failed()) {
    if (status.Code() == dcLost || status.Code() == dcStopped || LostConnection(work) ||
        StopRequested()) {
      return StopRequested() ? aoStopped : aoConnectionLost;
    }
    if (status.Code() == dcTryAgain) recordsKept_ = true;
    log_.AddLine(logtext::kCannot + ("delete staged record " + staged.id) + " for card " +
                 staged.number + ": " + FailureText(status, claim));
    return aoKept;
  }
  // -1: the driver cannot say; the delete ran, so the record is ours as before.
  return work.RowsAffected() == 0 ? aoTaken : aoDone;
}

}  // namespace fw

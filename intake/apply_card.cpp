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
  return ApplyStagedRecord(ReadStagedRecord(staged), work);
}

// All statements of one record run one after the other on `work`: what a lookup returned is
// read at once, so one statement (and its worker) serves the whole pass.
//
// The record is claimed first: its delete opens the transaction that writes the card, and
// only the one pass whose delete removed the row goes on. Another instance's delete of the
// same row waits for that transaction and then finds nothing, so a record is applied once
// however many services walk the table; the card is read after the claim, locked where the
// database can, so that two records of one card never both add to the same old value.
TApplyOutcome TFuturePass::ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work) {
  const std::string command = UpperAscii(staged.command);
  if (command.empty() || (command[0] != 'A' && command[0] != 'C')) return aoSkipped;
  if (!IsPlainInteger(staged.id)) return aoSkipped;  // not a row of ours: nothing to delete it by

  const auto cut = [&] { return LostConnection(work) || StopRequested(); };
  const auto interrupted = [&] { return StopRequested() ? aoStopped : aoConnectionLost; };
  const std::string& id = staged.id;
  const std::string& number = staged.number;

  TTransaction transaction(work);
  if (!transaction.Began() && cut()) return interrupted();
  const TApplyOutcome claim = Claim(staged, work);
  if (claim != aoDone) return claim;
  // The claim may have waited for a lock while a stop came: nothing of the record is written.
  if (StopRequested()) return aoStopped;

  const TSql sql(mainDb_.DriverKind());
  TStatementLookups lookups(work, sql);
  lookups.LockCards(&lockingReads_);
  TCardPlan plan;
  if (PlanStagedRecord(staged, lookups, mainDb_.DriverKind(), clock_, plan) == pnFailed) {
    if (cut()) return interrupted();
    // A lock in the way (another instance writes the same card): the record stays, whole.
    transaction.Rollback();
    recordsKept_ = true;
    log_.AddLine("Staged record " + id + " for card " + number +
                 " stays for the next pass: " + work.ErrorText());
    return aoKept;
  }
  for (const std::string& line : plan.lines) log_.AddLine(line);

  if (!plan.write.empty() && !work.Exec(plan.write)) {
    if (cut()) return interrupted();
    transaction.Rollback();
    if (work.TryAgain()) {
      recordsKept_ = true;
      log_.AddLine("Staged record " + id + " for card " + number +
                   " stays for the next pass: " + work.ErrorText());
      return aoKept;
    }
    log_.AddLine(logtext::kSqlErr + plan.write);
    // Some databases refuse every later statement of a transaction once one failed: the
    // record goes in a transaction of its own, claimed again.
    TTransaction again(work);
    if (!again.Began() && cut()) return interrupted();
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
  if (!transaction.Commit()) {
    if (transaction.Lost() || StopRequested()) return interrupted();
    log_.AddLine(logtext::kCannot + ("commit staged record " + id) + " for card " + number + ": " +
                 transaction.ErrorText());
    return aoKept;
  }
  return aoDone;
}

TApplyOutcome TFuturePass::Claim(const TStagedRecord& staged, TODBCStatement& work) {
  if (!work.Exec(ClaimSql(staged.id))) {
    if (LostConnection(work) || StopRequested()) {
      return StopRequested() ? aoStopped : aoConnectionLost;
    }
    if (work.TryAgain()) recordsKept_ = true;
    log_.AddLine(logtext::kCannot + ("delete staged record " + staged.id) + " for card " +
                 staged.number + ": " + work.ErrorText());
    return aoKept;
  }
  // -1: the driver cannot say; the delete ran, so the record is ours as before.
  return work.RowsAffected() == 0 ? aoTaken : aoDone;
}

}  // namespace fw

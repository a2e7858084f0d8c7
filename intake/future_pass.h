// TFuturePass: walks futurecard on MainDb in id order and applies the staged records that are
// due to table card; the rest stay staged for a later pass. Each record is claimed (deleted)
// and written in one transaction, so that it is applied once however many passes or instances
// walk the table and whenever the process or the connection dies. Batched, the records of an
// id range are planned from lookups read ahead (TPassCache) and written in one transaction;
// a write refused as bad data sends them one by one through the per-record path
// (apply_card.cpp). Any other failure ends the unit it happens in: rolled back, its records
// stay staged for the next pass, and one line names the statement and its codes.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/status.h"
#include "intake/card_plan.h"
#include "intake/card_rows_sql.h"
#include "intake/intake_run.h"
#include "log/messlog.h"
#include "platform/datetime.h"

namespace fw {

class TODBCStatement;
class TPassCache;
struct TIntakeTally;

enum TPassOutcome {
  poDone,            // walked to the end (or nothing staged)
  poConnectionLost,  // stopped at a lost connection
  poStopped,         // a stop was requested; the rest stays staged
};

enum TApplyOutcome {
  aoSkipped,         // the command does not begin with A or C: the record stays
  aoDone,            // applied (or refused with a log line) and deleted
  aoKept,            // its delete failed: card and delete were rolled back together
  aoTaken,           // another pass (a second instance) claimed it first
  aoConnectionLost,  // the pass must stop
  aoStopped,         // a stop was requested: rolled back, the record stays
};

// How many ids the future-card pass reads at a time.
constexpr long long PassRangeIds = 1000;

class TFuturePass {
 public:
  // Adds what it applies and what it leaves to `tally`.
  TFuturePass(const TIntakeRun& run, TMessLog& log, TODBC& mainDb, TIntakeTally& tally,
              const TClock& clock);

  TPassOutcome Run();
  // The last Run left records to a later one (a lock in the way).
  bool RecordsKept() const { return recordsKept_; }
  // Applies the staged record on which `staged` (the pass's cursor) stands.
  TApplyOutcome ApplyFutureCard(TODBCStatement& staged);

 private:
  bool StopRequested() const { return run_.StopRequested(); }
  TPassOutcome Walk();
  // `work` runs the record's writes, `reads` (read-only) its reads, both on MainDb. A SELECT
  // that fails inside a unit on an updatable statement leaves psqlODBC's keyset plan of that
  // statement behind after the rollback: reads never run on the statement that writes.
  TApplyOutcome ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work,
                                  TODBCStatement& reads);
  // Deletes the staged record inside the open transaction: aoDone when this pass deleted it.
  TApplyOutcome Claim(const TStagedRecord& staged, TODBCStatement& work);
  // The record stays staged for the next pass: one line says why.
  TApplyOutcome Keep(const TStagedRecord& staged, const std::string& why);
  // Whether the database has SELECT ... FOR UPDATE: known from the driver kind, and asked once
  // (in a transaction of its own) once per connection where the kind does not tell. A failure
  // leaves it unknown.
  TDbStatus LearnLockingReads(TODBCStatement& reads);
  bool LockingReadsKnown() const {
    return lockingReads_ != lrUnknown && lockingSession_ == mainDb_.Session();
  }
  // A record left for the next pass holds back the later records of its card for the rest of
  // this pass, so that the next pass applies them in their order: a later record's expiry and
  // descriptive values must not be overwritten by an earlier one applied after it.
  void HoldBack(const TStagedRecord& staged);
  bool HeldBack(const TStagedRecord& staged) const;
  // Adds what stays staged to `left`.
  TPassOutcome ApplyRangeBatched(const std::vector<TStagedRecord>& records, TODBCStatement& work,
                                 TODBCStatement& reads, TPassCache& cache, long long& left);
  // A record left to wait for its start: the pass's next start so far.
  void NoteWaiting(const TStagedRecord& staged) {
    if (nextStart_ == 0 || staged.startDt < nextStart_) nextStart_ = staged.startDt;
  }
  // PostgreSQL plans from the statistics of the table as it last saw it: of a card table that
  // was empty, a seq scan for every set of cards read or updated (4-6 ms each at 20,000 cards,
  // growing with the table). After each doubling of the cards this pass inserted (from
  // 10,000 on), card is analysed between batches, in a transaction of its own.
  void AnalyzeCardsIfGrown(TODBCStatement& work);
  // srRefused: a write (the claim or a card's) was refused as bad data, or the batch's cards
  // changed since its plan: the batch goes record by record. srKept: another failure; the batch stays staged.
  enum TSegmentResult { srCommitted, srRefused, srKept, srConnectionLost };
  // `why` gets the failure of srKept.
  TSegmentResult RunSegment(const std::vector<TCardPlan>& plans,
                            const std::vector<const TStagedRecord*>& batch, TODBCStatement& work,
                            TODBCStatement& reads, TPassCache& cache, std::string& why);
  // Whether the cards of the batch are as its plans found them (read again, locked where the
  // database can): dcOk unchanged, dcNoRow changed, or the failure of the read (`sql`).
  TDbStatus CardsUnchanged(const std::vector<const TStagedRecord*>& batch, TODBCStatement& reads,
                           TPassCache& cache, TBoundSql& sql);

  const TIntakeRun& run_;
  TMessLog& log_;
  TODBC& mainDb_;
  TIntakeTally& tally_;
  const TClock& clock_;
  bool recordsKept_ = false;  // this pass left records to a later one (a lock in the way)
  enum TLockingReads { lrUnknown, lrYes, lrNo };
  TLockingReads lockingReads_ = lrUnknown;  // SELECT ... FOR UPDATE on MainDb's database
  uint64_t lockingSession_ = 0;             // MainDb's Session() when it was learnt
  TCardRowsForm rowsForm_ = rfNone;         // of MainDb's database
  TDateTime nextStart_ = 0;   // of the pass that runs
  long long cardsInserted_ = 0, analyseAt_ = 0;  // of the pass that runs
  std::set<std::string> heldCards_;  // of the pass that runs, as HoldBack keys them
};

}  // namespace fw

// TFuturePass: walks futurecard on MainDb in id order and applies the staged records that are
// due to table card; the rest stay staged for a later pass. Each record is claimed (deleted)
// and written in one transaction, so that it is applied once however many passes or instances
// walk the table and whenever the process or the connection dies. Batched, the records of an
// id range are planned from lookups read ahead (TPassCache) and written in one transaction;
// whatever fails sends them one by one through the per-record path (apply_card.cpp).
#pragma once

#include <string>
#include <vector>

#include "db/odbc.h"
#include "intake/card_plan.h"
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
  // `work` is any statement on MainDb other than the pass's cursor.
  TApplyOutcome ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work);
  // Deletes the staged record inside the open transaction: aoDone when this pass deleted it.
  TApplyOutcome Claim(const TStagedRecord& staged, TODBCStatement& work);
  // Adds what stays staged to `left`.
  TPassOutcome ApplyRangeBatched(const std::vector<TStagedRecord>& records, TODBCStatement& work,
                                 TPassCache& cache, long long& left);
  // A record left to wait for its start: the pass's next start so far.
  void NoteWaiting(const TStagedRecord& staged) {
    if (nextStart_ == 0 || staged.startDt < nextStart_) nextStart_ = staged.startDt;
  }
  enum TSegmentResult { srCommitted, srFailed, srConnectionLost };
  TSegmentResult RunSegment(const std::vector<TCardPlan>& plans,
                            const std::vector<const TStagedRecord*>& batch, TODBCStatement& work,
                            TPassCache& cache);
  // The cards of the batch are as its plans found them (read again, locked where possible).
  bool CardsUnchanged(const std::vector<const TStagedRecord*>& batch, TODBCStatement& work,
                      TPassCache& cache);

  const TIntakeRun& run_;
  TMessLog& log_;
  TODBC& mainDb_;
  TIntakeTally& tally_;
  const TClock& clock_;
  bool recordsKept_ = false;  // this pass left records to a later one (a lock in the way)
  bool lockingReads_ = true;  // SELECT ... FOR UPDATE works on MainDb's database
  TDateTime nextStart_ = 0;   // of the pass that runs
};

}  // namespace fw

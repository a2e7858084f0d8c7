#include "intake/future_pass.h"

#include <exception>

#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
#include "intake/card_sql.h"
#include "intake/pass_cache.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"

namespace fw {

TFuturePass::TFuturePass(const TIntakeRun& run, TMessLog& log, TODBC& mainDb, TIntakeTally& tally,
                         const TClock& clock)
    : run_(run), log_(log), mainDb_(mainDb), tally_(tally), clock_(clock) {}

TPassOutcome TFuturePass::Run() {
  recordsKept_ = false;
  heldCards_.clear();
  cardsInserted_ = 0;
  analyseAt_ = 10000;
  return Walk();
}

namespace {

std::string CardKey(const TStagedRecord& staged) {
  const std::string key = TPassCache::CanonicalNumber(staged.number);
  return key.empty() ? staged.number : key;
}

}  // namespace

// What kept the record says whether the pass is owed again soon (recordsKept_): a refused
// delete is not.
void TFuturePass::HoldBack(const TStagedRecord& staged) {
  heldCards_.insert(CardKey(staged));
}

bool TFuturePass::HeldBack(const TStagedRecord& staged) const {
  return !heldCards_.empty() && heldCards_.count(CardKey(staged)) != 0;
}

void TFuturePass::AnalyzeCardsIfGrown(TODBCStatement& work) {
  if (mainDb_.DriverKind() != dkPostgres || cardsInserted_ < analyseAt_) return;
  analyseAt_ = cardsInserted_ * 2;
  // Without it the pass is only slower: a failure (an account that does not own the table
  // gets a warning, not one; a server before 12 knows no SKIP_LOCKED) leaves the plans as they
  // were, and a lost connection is met by the next batch. SKIP_LOCKED: an autovacuum of card
  // already at work is not waited for.
  TTransaction unit(work);
  if (unit.Began() && work.Exec("ANALYZE (SKIP_LOCKED) card").Ok()) unit.Commit();
}

TDbStatus TFuturePass::LearnLockingReads(TODBCStatement& reads) {
  lockingSession_ = mainDb_.Session();
  const TDriverKind kind = mainDb_.DriverKind();
  if (kind == dkMySql || kind == dkPostgres) {
    lockingReads_ = lrYes;
    return TDbStatus();
  }
  // Its own transaction, so that a refusal is never part of a record's.
  TTransaction probe(reads);
  if (!probe.Began()) return probe.Status();
  const TDbStatus status = reads.Exec(LockingProbeSql(), euProbe);
  if (status.Failed() && status.Code() != dcBadData) {
    lockingReads_ = lrUnknown;
    return status;
  }
  lockingReads_ = status.Failed() ? lrNo : lrYes;
  return TDbStatus();
}

// The walk goes through futurecard in ascending id ranges rather than with one SELECT of the
// whole table: drivers hold a result in memory whole (SQLite3 ODBC reads it at execute,
// MariaDB's static cursor stores it), and a backlog of staged records must not cost its size in
// memory. Records staged after the pass began lie above its last id and wait for the next
// pass, as they would behind one SELECT.
TPassOutcome TFuturePass::Walk() {
  if (!mainDb_.Connected()) return poConnectionLost;
  try {
    TODBCStatement work(mainDb_);               // every write of a record
    TODBCStatement reads(mainDb_, caReadOnly);  // the existence checks and every lookup
    const TSql sql(mainDb_.DriverKind());
    rowsForm_ = CardRowsForm(mainDb_.DriverKind(), mainDb_.DbmsName());
    TPassCache cache(reads, sql);  // card types and groups, for the batched pass

    long long last = 0, first = 0, left = 0;
    nextStart_ = 0;
    bool lost = false;
    const auto done = [&] {
      if (lost) return poConnectionLost;
      tally_.waiting = left;
      tally_.nextStart = nextStart_;
      return poDone;
    };
    // A read that failed ends the pass; what it did not reach stays for the next one.
    const auto failed = [&](const TDbStatus& status, const TBoundSql& query) {
      if (status.Code() == dcStopped || StopRequested()) return poStopped;
      lost = status.Code() == dcLost || mainDb_.LostConnection() || LostConnection(reads);
      if (!lost) {
        recordsKept_ = true;
        log_.AddLine("Staged records stay for the next pass: " + FailureText(status, query));
      }
      return done();
    };
    // Every read of futurecard has a statement of its own, read whole and gone before any
    // record's unit begins: a cursor left open across a unit's rollback does not survive it
    // everywhere (psqlODBC's keyset cursor).
    // Reads one id (MIN or MAX): dcNoRow when there is no (further) record.
    const auto readId = [&](const TBoundSql& query, long long& id) {
      TODBCStatement reader(mainDb_);
      const TDbStatus status = reader.Exec(query);
      if (!status.Ok()) return status;
      const std::string text = reader.FieldAsString("id");
      if (!IsPlainInteger(text)) return TDbStatus::NoRow();  // NULL
      id = std::stoll(text);
      return status;
    };
    // Bound on MariaDB and PostgreSQL, whose drivers otherwise spend a good part of the pass's
    // client time in SQLGetData (100,000 new cards, CPU: MariaDB 1.23 -> 0.93 s, PostgreSQL
    // 1.20 -> 1.04 s); SQLite's driver gains nothing from it.
    const bool bind = mainDb_.DriverKind() == dkMySql || mainDb_.DriverKind() == dkPostgres;
    const TColumnReads stagedReads = bind ? crBound : crAsDriverNeeds;
    const auto readRange = [&](const TBoundSql& query, std::vector<TStagedRecord>& records) {
      TODBCStatement reader(mainDb_, caUpdatable, stagedReads);
      TDbStatus status = reader.Exec(query);
      if (!status.Ok()) return status;
      const TStagedColumns columns(reader);
      while (status.Ok()) {
        records.push_back(ReadStagedRecord(reader, columns));
        status = reader.Skip(skNext, 1);
      }
      return status;
    };
    const TBoundSql lastSql = StagedIdSql("MAX"), firstSql = StagedIdSql("MIN");
    TDbStatus status = readId(lastSql, last);
    if (status.Failed()) return failed(status, lastSql);
    if (status.Ok()) status = readId(firstSql, first);
    if (status.Failed()) return failed(status, firstSql);
    if (!status.Ok()) return done();
    if (!LockingReadsKnown()) {
      status = LearnLockingReads(reads);
      if (status.Failed()) return failed(status, LockingProbeSql());
    }
    for (;;) {
      const long long end = first + PassRangeIds - 1 < last ? first + PassRangeIds - 1 : last;
      const TBoundSql range = StagedRangeSql(first, end);
      std::vector<TStagedRecord> records;
      records.reserve(static_cast<size_t>(end - first + 1));
      status = readRange(range, records);
      if (status.Failed()) return failed(status, range);
      if (run_.batched) {
        const TPassOutcome outcome = ApplyRangeBatched(records, work, reads, cache, left);
        if (outcome != poDone) return outcome;
      } else {
        for (const TStagedRecord& staged : records) {
          if (StopRequested()) return poStopped;
          if (HeldBack(staged)) {
            ++left;
            continue;
          }
          bool apply = IsDue(clock_.Now(), staged.startDt, true);
          TApplyOutcome outcome = aoSkipped;
          if (!apply) {
            const TBoundSql exists = CardNumberSql(NumberValue(staged.number), sql.DriverKind());
            const TDbStatus found = reads.Exec(exists);
            if (found.Failed()) {
              if (found.Code() == dcLost || LostConnection(reads)) return poConnectionLost;
              if (found.Code() == dcStopped || StopRequested()) return poStopped;
              // Not knowing whether its card exists, the pass cannot tell whether it is due.
              outcome = Keep(staged, FailureText(found, exists));
            } else {
              apply = IsDue(clock_.Now(), staged.startDt, found.Ok());
              if (!apply) NoteWaiting(staged);
            }
          }
          if (apply) outcome = ApplyStagedRecord(staged, work, reads);
          if (outcome == aoKept) HoldBack(staged);
          if (outcome == aoConnectionLost) return poConnectionLost;
          if (outcome == aoStopped) return poStopped;
          if (outcome == aoDone) {
            ++tally_.applied;
          } else if (outcome != aoTaken) {  // a taken record another instance applied
            ++left;
          }
        }
      }
      if (end >= last) return done();
      // Only an empty range asks where the next record lies. On PostgreSQL, with statistics
      // still of the empty table a file was staged into, MIN(id) above an id read every index
      // entry above it (11 ms at 100,000 staged records, each range).
      if (!records.empty()) {
        first = end + 1;
        continue;
      }
      const TBoundSql nextSql = StagedIdAboveSql(end);
      status = readId(nextSql, first);
      if (status.Failed()) return failed(status, nextSql);
      if (!status.Ok() || first > last) return done();
    }
  } catch (const std::exception& e) {
    log_.AddLine(logtext::kPassStopped + std::string(e.what()));
    return poDone;
  }
}

}  // namespace fw

#include "intake/future_pass.h"

#include <exception>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
#include "intake/pass_cache.h"
#include "intake/card_sql.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"

namespace fw {

TFuturePass::TFuturePass(const TIntakeRun& run, TMessLog& log, TODBC& mainDb, TIntakeTally& tally,
                         const TClock& clock)
    : run_(run), log_(log), mainDb_(mainDb), tally_(tally), clock_(clock) {}

TPassOutcome TFuturePass::Run() {
  recordsKept_ = false;
  return Walk();
}

// The walk goes through futurecard in ascending id ranges rather than with one SELECT of the
// whole table: drivers hold a result in memory whole (SQLite3 ODBC reads it at execute,
// MariaDB's static cursor stores it), and a backlog of staged records must not cost its size in
// memory. Records staged after the pass began lie above its last id and wait for the next
// pass, as they would behind one SELECT.
TPassOutcome TFuturePass::Walk() {
  if (!mainDb_.Connected()) return poConnectionLost;
  try {
    TODBCStatement cursor(mainDb_);
    TODBCStatement work(mainDb_);  // the existence check and every statement of a record
    const TSql sql(mainDb_.DriverKind());
    TPassCache cache(work, sql);  // card types and groups, for the batched pass

    // Reads one id (MIN or MAX); false with `lost` set when the connection went away.
    bool lost = false;
    const auto readId = [&](const std::string& query, long long& id) {
      if (!cursor.Exec(query)) {
        lost = LostConnection(cursor);
        return false;
      }
      const std::string text = cursor.FieldAsString("id");
      if (!IsPlainInteger(text)) return false;  // NULL: no (further) record
      id = std::stoll(text);
      return true;
    };
    long long last = 0, first = 0, left = 0;
    nextStart_ = 0;
    const auto done = [&] {
      if (lost) return poConnectionLost;
      tally_.waiting = left;
      tally_.nextStart = nextStart_;
      return poDone;
    };
    if (!readId(StagedIdSql("MAX"), last) || !readId(StagedIdSql("MIN"), first)) {
      return done();
    }
    for (;;) {
      const long long end = first + PassRangeIds - 1 < last ? first + PassRangeIds - 1 : last;
      const std::string range = StagedRangeSql(first, end);
      if (run_.batched) {
        std::vector<TStagedRecord> records;
        if (cursor.Exec(range)) {
          do {
            records.push_back(ReadStagedRecord(cursor));
          } while (cursor.Skip(skNext, 1));
        }
        if (LostConnection(cursor)) return poConnectionLost;
        const TPassOutcome outcome = ApplyRangeBatched(records, work, cache, left);
        if (outcome != poDone) return outcome;
      } else if (cursor.Exec(range)) {
        do {
          if (StopRequested()) return poStopped;
          const TStagedRecord staged = ReadStagedRecord(cursor);
          bool apply = IsDue(clock_.Now(), staged.startDt, true);
          if (!apply) {
            if (!work.Exec(CardNumberSql(NumberLiteral(sql, staged.number)))) {
              if (LostConnection(work)) return poConnectionLost;
              apply = IsDue(clock_.Now(), staged.startDt, false);
            }
          }
          if (!apply) NoteWaiting(staged);
          const TApplyOutcome outcome = apply ? ApplyStagedRecord(staged, work) : aoSkipped;
          if (outcome == aoConnectionLost) return poConnectionLost;
          if (outcome == aoStopped) return poStopped;
          if (outcome == aoDone) {
            ++tally_.applied;
          } else if (outcome != aoTaken) {  // a taken record another instance applied
            ++left;
          }
        } while (cursor.Skip(skNext, 1));
      }
      if (LostConnection(cursor)) return poConnectionLost;
      if (end >= last ||
          !readId(StagedIdAboveSql(end), first) ||
          first > last) {
        return done();
      }
    }
  } catch (const std::exception& e) {
    log_.AddLine(logtext::kPassStopped + std::string(e.what()));
    return poDone;
  }
}

}  // namespace fw

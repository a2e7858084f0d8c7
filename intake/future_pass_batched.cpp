// The future-card pass in batches: the records of one id range are worked out in memory from
// lookups read ahead, then written and deleted in one transaction. Whatever fails rolls the
// batch back, and its records go again one by one, exactly as the per-record pass runs them.
#include <map>
#include <set>

#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
#include "intake/future_pass.h"
#include "intake/pass_cache.h"
#include "intake/card_sql.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

// Rows of one INSERT into card.
constexpr size_t CardBatchRows = 500;

}  // namespace

TPassOutcome TFuturePass::ApplyRangeBatched(const std::vector<TStagedRecord>& records,
                                            TODBCStatement& work, TPassCache& cache,
                                            long long& left) {
  const TSql sql(mainDb_.DriverKind());
  cache.ForgetCards();
  size_t next = 0;
  while (next < records.size()) {
    if (StopRequested()) return poStopped;  // between batches
    if (!cache.LoadCards(records, next)) return poConnectionLost;
    std::vector<const TStagedRecord*> batch;
    std::vector<TCardPlan> plans;
    std::set<std::string> written;
    size_t i = next;
    for (; i < records.size(); ++i) {
      const TStagedRecord& staged = records[i];
      const std::string key = TPassCache::CanonicalNumber(staged.number);
      // A record for a card written in this batch has to see what that write left: it starts
      // the next batch. A number that is not a plain integer gets a batch of its own.
      if (!batch.empty() && (key.empty() || written.count(key) != 0)) break;
      bool apply = IsDue(clock_.Now(), staged.startDt, true);
      if (!apply) {
        TCardLookups::TCard card;
        if (!cache.Card(NumberLiteral(sql, staged.number), card)) return poConnectionLost;
        apply = !card.exists;
      }
      if (!apply) {
        NoteWaiting(staged);
        ++left;
        continue;
      }
      TCardPlan plan;
      const TPlanOutcome planned =
          PlanStagedRecord(staged, cache, mainDb_.DriverKind(), clock_, plan);
      if (planned == pnFailed) return poConnectionLost;
      if (planned == pnSkipped) {
        ++left;
        continue;
      }
      batch.push_back(&staged);
      plans.push_back(std::move(plan));
      if (key.empty()) {
        ++i;
        break;
      }
      if (!plans.back().write.empty()) written.insert(key);
    }

    switch (RunSegment(plans, batch, work, cache)) {
      case srConnectionLost:
        return StopRequested() ? poStopped : poConnectionLost;
      case srFailed:
        for (const TStagedRecord* staged : batch) {
          const TApplyOutcome outcome = ApplyStagedRecord(*staged, work);
          if (outcome == aoConnectionLost) return poConnectionLost;
          if (outcome == aoStopped) return poStopped;
          if (outcome == aoDone) {
            ++tally_.applied;
          } else if (outcome != aoTaken) {
            ++left;
          }
        }
        break;
      case srCommitted:
        tally_.applied += plans.size();
        for (const TCardPlan& plan : plans) {
          for (const std::string& line : plan.lines) log_.AddLine(line);
        }
        break;
    }
    for (const TStagedRecord* staged : batch) cache.ForgetCard(staged->number);
    next = i;
  }
  return poDone;
}

// One transaction: the deletes of the staged records, then the card writes in record order,
// INSERTs of consecutive new cards with the same columns as one statement.
TFuturePass::TSegmentResult TFuturePass::RunSegment(const std::vector<TCardPlan>& plans,
                                                    const std::vector<const TStagedRecord*>& batch,
                                                    TODBCStatement& work, TPassCache& cache) {
  if (plans.empty()) return srCommitted;
  const auto failed = [&] {
    return LostConnection(work) || StopRequested() ? srConnectionLost : srFailed;
  };
  TTransaction transaction(work);
  if (!transaction.Began()) return failed();

  // Deleting first claims the records: one that another process has taken meanwhile is gone,
  // and the count shows it.
  std::string ids;
  for (const TCardPlan& plan : plans) ids += (ids.empty() ? "" : ", ") + plan.id;
  if (!work.Exec(ClaimAllSql(ids))) return failed();
  if (work.RowsAffected() != static_cast<SQLLEN>(plans.size())) return srFailed;
  // The claim may have waited for a lock while a stop came: the batch stays staged, whole.
  if (StopRequested()) return srConnectionLost;
  // The plans were made from cards read before the claim; another instance may have written
  // one of them since. Read them again, locked where the database can (SQLite's claim already
  // holds its one writer lock): any change and the batch goes record by record, each of which
  // reads its card after its own claim.
  if (!CardsUnchanged(batch, work, cache)) return failed();

  const std::string* columns = nullptr;
  std::string values;
  size_t rows = 0;
  const auto flush = [&] {
    if (rows == 0) return true;
    rows = 0;
    return work.Exec(NewCardsInsertSql(*columns, values));
  };
  for (const TCardPlan& plan : plans) {
    if (plan.write.empty()) continue;
    if (!plan.insert) {
      if (!flush() || !work.Exec(plan.write)) return failed();
      continue;
    }
    if (rows > 0 && (*columns != plan.columns || rows >= CardBatchRows) && !flush()) {
      return failed();
    }
    if (rows == 0) {
      columns = &plan.columns;
      values.clear();
    }
    values += rows++ == 0 ? "" : ", ";
    values += plan.values;
  }
  if (!flush() || !transaction.Commit()) return failed();
  return srCommitted;
}

bool TFuturePass::CardsUnchanged(const std::vector<const TStagedRecord*>& batch,
                                 TODBCStatement& work, TPassCache& cache) {
  const TSql sql(mainDb_.DriverKind());
  std::map<std::string, TCardLookups::TCard> planned;
  std::string list;
  for (const TStagedRecord* staged : batch) {
    const std::string key = TPassCache::CanonicalNumber(staged->number);
    if (key.empty() || planned.count(key) != 0) continue;
    TCardLookups::TCard card;
    if (!cache.Card(NumberLiteral(sql, staged->number), card)) return false;
    planned[key] = card;
    list += (list.empty() ? "" : ", ") + key;
  }
  if (list.empty()) return true;
  const std::string query = CardsByNumberSql(list);
  bool read = false;
  if (lockingReads_) {
    read = work.Exec(query + " FOR UPDATE");
    if (!read && !work.ErrorText().empty()) {
      if (LostConnection(work) || work.TryAgain()) return false;
      lockingReads_ = false;
    }
  }
  if (!lockingReads_) read = work.Exec(query);
  if (!read && !work.ErrorText().empty()) return false;
  size_t existing = 0;
  if (read) {
    do {
      const auto it = planned.find(TPassCache::CanonicalNumber(work.FieldAsString("number")));
      if (it == planned.end() || !it->second.exists) return false;  // new since the plan
      if (it->second.typeId != work.FieldAsInteger("type_id") ||
          it->second.debitLeft != work.FieldAsInteger("debit_left") ||
          it->second.expiry != work.FieldAsDateTime("exp_iry")) {
        return false;
      }
      ++existing;
    } while (work.Skip(skNext, 1));
  }
  size_t plannedExisting = 0;
  for (const auto& [key, card] : planned) plannedExisting += card.exists ? 1 : 0;
  return existing == plannedExisting;  // none gone since the plan
}

}  // namespace fw

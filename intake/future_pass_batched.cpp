// The future-card pass in batches: the records of one id range are worked out in memory from
// lookups read ahead, then written and deleted in one transaction. A write refused as bad
// data (or cards changed since the plan) rolls the batch back, and its records go again one by
// one, exactly as the per-record pass runs them; any other failure rolls it back and leaves
// its records staged for the next pass.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "db/bulk_insert.h"
#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
#include "intake/card_rows_sql.h"
#include "intake/future_pass.h"
#include "intake/card_sql.h"
#include "intake/pass_cache.h"
#include "intake/staging_sql.h"

namespace fw {
TPassOutcome TFuturePass::ApplyRangeBatched(const std::vector<TStagedRecord>& records,
                                            TODBCStatement& work, TODBCStatement& reads,
                                            TPassCache& cache, long long& left) {
  const TSql sql(mainDb_.DriverKind());
  cache.ForgetCards();
  // A read or a unit that failed: the records of the range from `from` on stay for the next
  // pass, which meets them in the same order.
  const auto keepFrom = [&](size_t from, const std::string& why) {
    recordsKept_ = true;
    for (size_t j = from; j < records.size(); ++j) HoldBack(records[j]);
    log_.AddLine("Staged records " + records[from].id + " to " + records.back().id +
                 " stay for the next pass: " + why);
    left += static_cast<long long>(records.size() - from);
    return poDone;
  };
  const auto failed = [&](const TDbStatus& status, size_t from) {
    if (status.Code() == dcStopped || StopRequested()) return poStopped;
    if (status.Code() == dcLost || LostConnection(work)) return poConnectionLost;
    return keepFrom(from, FailureText(status, cache.FailedSql()));
  };
  size_t next = 0;
  while (next < records.size()) {
    if (StopRequested()) return poStopped;  // between batches
    if (const TDbStatus loaded = cache.LoadCards(records, next); loaded.Failed()) {
      return failed(loaded, next);
    }
    std::vector<const TStagedRecord*> batch;
    std::vector<TCardPlan> plans;
    batch.reserve(records.size() - next);
    plans.reserve(records.size() - next);
    std::unordered_set<std::string> written;
    long long waiting = 0;  // of this batch
    size_t i = next;
    for (; i < records.size(); ++i) {
      const TStagedRecord& staged = records[i];
      if (HeldBack(staged)) {
        ++waiting;
        continue;
      }
      const std::string key = TPassCache::CanonicalNumber(staged.number);
      // A record for a card written in this batch has to see what that write left: it starts
      // the next batch. A number that is not a plain integer gets a batch of its own.
      if (!batch.empty() && (key.empty() || written.count(key) != 0)) break;
      bool apply = IsDue(clock_.Now(), staged.startDt, true);
      if (!apply) {
        TCardLookups::TCard card;
        const TDbStatus found = cache.Card(NumberValue(staged.number), card);
        if (found.Failed()) return failed(found, next);
        apply = IsDue(clock_.Now(), staged.startDt, card.exists);
      }
      if (!apply) {
        NoteWaiting(staged);
        ++waiting;
        continue;
      }
      TCardPlan plan;
      TDbStatus failure;
      const TPlanOutcome planned =
          PlanStagedRecord(staged, cache, mainDb_.DriverKind(), clock_, plan, failure);
      if (planned == pnFailed) return failed(failure, next);
      if (planned == pnSkipped) {
        ++waiting;
        continue;
      }
      batch.push_back(&staged);
      plans.push_back(std::move(plan));
      if (key.empty()) {
        ++i;
        break;
      }
      if (plans.back().write) written.insert(key);
    }
    left += waiting;

    std::string why;
    switch (RunSegment(plans, batch, work, reads, cache, why)) {
      case srConnectionLost:
        return StopRequested() ? poStopped : poConnectionLost;
      case srKept:
        left -= waiting;  // counted again among the records kept
        return keepFrom(next, why);
      case srRefused:
        for (const TStagedRecord* staged : batch) {
          if (HeldBack(*staged)) {
            ++left;
            continue;
          }
          const TApplyOutcome outcome = ApplyStagedRecord(*staged, work, reads);
          if (outcome == aoKept) HoldBack(*staged);
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
          if (plan.insert && plan.write) ++cardsInserted_;
        }
        AnalyzeCardsIfGrown(work);
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
                                                    TODBCStatement& work, TODBCStatement& reads,
                                                    TPassCache& cache, std::string& why) {
  if (plans.empty()) return srCommitted;
  // The first failure ends the unit (the guard rolls it back); only a write refused as bad data
  // (the claim or a card's) sends the records one by one, where each refusal has its line.
  const auto failed = [&](const TDbStatus& status, const TBoundSql& sql, bool write) {
    if (status.Code() == dcLost || status.Code() == dcStopped || LostConnection(work) ||
        LostConnection(reads) || StopRequested()) {
      return srConnectionLost;
    }
    if (write && status.Code() == dcBadData) return srRefused;
    why = FailureText(status, sql);
    return srKept;
  };
  TTransaction transaction(work, upSavepoint);
  if (!transaction.Began()) return failed(transaction.Status(), "BEGIN", false);

  // Deleting first claims the records: one that another process has taken meanwhile is gone,
  // and the count shows it.
  std::vector<std::string> ids;
  for (const TCardPlan& plan : plans) ids.push_back(plan.id);
  const TBoundSql claim = ClaimAllSql(ids);
  if (const TDbStatus claimed = work.Exec(claim); claimed.Failed()) {
    return failed(claimed, claim, true);
  }
  if (work.RowsAffected() != static_cast<SQLLEN>(plans.size())) return srRefused;
  // The claim may have waited for a lock while a stop came: the batch stays staged, whole.
  if (StopRequested()) return srConnectionLost;
  // The plans were made from cards read before the claim; another instance may have written
  // one of them since. Read them again, locked where the database can (SQLite's claim already
  // holds its one writer lock): any change and the batch goes record by record, each of which
  // reads its card after its own claim.
  TBoundSql readSql;
  const TDbStatus unchanged = CardsUnchanged(batch, reads, cache, readSql);
  if (unchanged.Failed()) return failed(unchanged, readSql, false);
  if (!unchanged.Ok()) return srRefused;

  // New cards in record order (their ids are handed out in that order), consecutive ones of the
  // same columns in one INSERT; existing cards gathered by their columns into UPDATEs of many
  // cards. The cards of a batch all differ, so no write sees another's.
  std::vector<const TCardPlan*> inserts;
  std::vector<std::vector<const TCardPlan*>> updates;  // each of one column list
  TBoundInserter inserter(mainDb_);
  const bool setUpdates = BoundSetUpdates(mainDb_.DriverKind());
  TBoundRows bound;
  TBoundSql text;  // of the last write
  const auto write = [&](std::vector<const TCardPlan*>& group) {
    if (group.empty()) return TDbStatus();
    if (group.size() == 1) {
      text = CardWriteSql(*group.front());
      group.clear();
      return work.Exec(text);
    }
    std::vector<const TSql*> rows;
    for (const TCardPlan* plan : group) rows.push_back(&plan->fields);
    const bool insert = group.front()->insert;
    group.clear();
    // The text of a write sent as arrays is made only for the log of its failure.
    if (insert) {
      if (!CardRows(rows, bound)) return work.Exec(text = CardRowsInsertSql(rows));
      const TDbStatus status = inserter.Insert("card", bound, 0, bound.Rows());
      if (status.Failed()) text = CardRowsInsertSql(rows);
      return status;
    }
    if (setUpdates && CardRows(rows, bound)) {
      const TDbStatus status = inserter.Update("card", "number", bound, 0, bound.Rows());
      if (status.Failed()) text = CardRowsUpdateSql(rowsForm_, rows);
      return status;
    }
    const size_t step = CardRowsPerStatement(mainDb_.DriverKind(), rows.front()->Count());
    for (size_t at = 0; at < rows.size(); at += step) {
      const std::vector<const TSql*> part(rows.begin() + static_cast<std::ptrdiff_t>(at),
                                          rows.begin() + static_cast<std::ptrdiff_t>(
                                                             std::min(at + step, rows.size())));
      if (const TDbStatus status = work.Exec(text = CardRowsUpdateSql(rowsForm_, part));
          status.Failed()) {
        return status;
      }
    }
    return TDbStatus();
  };
  // Sets of arrays take a batch's updates whole; a list of markers is split as it goes.
  const auto full = [&](const std::vector<const TCardPlan*>& group) {
    const TDriverKind kind = mainDb_.DriverKind();
    const size_t columns = group.front()->fields.Count();
    return group.size() >= (group.front()->insert || setUpdates
                                ? BoundInsertRows(kind, columns)
                                : CardRowsPerStatement(kind, columns));
  };
  for (const TCardPlan& plan : plans) {
    if (!plan.write) continue;
    std::vector<const TCardPlan*>* group = &inserts;
    if (plan.insert) {
      if (!inserts.empty() && !inserts.front()->fields.SameColumns(plan.fields)) {
        if (const TDbStatus written = write(inserts); written.Failed()) {
          return failed(written, text, true);
        }
      }
    } else {
      group = nullptr;
      for (auto& candidate : updates) {
        if (!candidate.empty() && candidate.front()->fields.SameColumns(plan.fields)) {
          group = &candidate;
        }
      }
      for (auto& candidate : updates) {
        if (group == nullptr && candidate.empty()) group = &candidate;
      }
      if (group == nullptr) group = &updates.emplace_back();
    }
    group->push_back(&plan);
    const bool alone = !plan.insert && rowsForm_ == rfNone;
    if (alone || full(*group)) {
      if (const TDbStatus written = write(*group); written.Failed()) {
        return failed(written, text, true);
      }
    }
  }
  if (const TDbStatus written = write(inserts); written.Failed()) {
    return failed(written, text, true);
  }
  for (auto& group : updates) {
    if (const TDbStatus written = write(group); written.Failed()) {
      return failed(written, text, true);
    }
  }
  if (const TDbStatus committed = transaction.Commit(); committed.Failed()) {
    return failed(committed, "COMMIT", false);
  }
  return srCommitted;
}

TDbStatus TFuturePass::CardsUnchanged(const std::vector<const TStagedRecord*>& batch,
                                      TODBCStatement& reads, TPassCache& cache, TBoundSql& sql) {
  std::unordered_map<std::string, TCardLookups::TCard> planned;
  std::vector<std::string> numbers;
  for (const TStagedRecord* staged : batch) {
    const std::string key = TPassCache::CanonicalNumber(staged->number);
    if (key.empty() || planned.count(key) != 0) continue;
    TCardLookups::TCard card;
    const TDbStatus known = cache.Card(NumberValue(staged->number), card);
    if (known.Failed()) {
      sql = cache.FailedSql();
      return known;
    }
    planned[key] = card;
    numbers.push_back(key);
  }
  if (numbers.empty()) return TDbStatus();
  sql = CardsByNumberSql(numbers);
  if (lockingReads_ == lrYes) sql += " FOR UPDATE";
  const TDbStatus changed = TDbStatus::NoRow();
  size_t existing = 0;
  TDbStatus status = reads.Exec(sql);
  const int number = reads.ColumnIndex("number"), typeId = reads.ColumnIndex("type_id"),
            debitLeft = reads.ColumnIndex("debit_left"), expiry = reads.ColumnIndex("exp_iry");
  while (status.Ok()) {
    const auto it = planned.find(TPassCache::CanonicalNumber(reads.ColumnText(number)));
    if (it == planned.end() || !it->second.exists) return changed;  // new since the plan
    if (it->second.typeId != reads.ColumnInteger(typeId) ||
        it->second.debitLeft != reads.ColumnInteger(debitLeft) ||
        it->second.expiry != reads.ColumnDateTime(expiry)) {
      return changed;
    }
    ++existing;
    status = reads.Skip(skNext, 1);
  }
  if (status.Failed()) return status;
  size_t plannedExisting = 0;
  for (const auto& [key, card] : planned) plannedExisting += card.exists ? 1 : 0;
  return existing == plannedExisting ? TDbStatus() : changed;  // none gone since the plan
}

}  // namespace fw

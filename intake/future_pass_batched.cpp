// The future-card pass in batches: the records of one id range are worked out in memory from
// lookups read ahead, then written and deleted in one transaction. Whatever fails rolls the
// batch back, and its records go again one by one, exactly as the per-record pass runs them.
#include <map>
#include <set>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
#include "intake/pass_cache.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

// Rows of one INSERT into card, and numbers of one card lookup.
constexpr size_t CardBatchRows = 500;
constexpr size_t LookupBatchNumbers = 500;

// The remembered answer for `key`, or the one `fetch` reads (remembered when it succeeds).
template <typename Map, typename Fetch>
bool Remembered(Map& map, const typename Map::key_type& key, typename Map::mapped_type& value,
                Fetch fetch) {
  if (const auto it = map.find(key); it != map.end()) {
    value = it->second;
    return true;
  }
  if (!fetch(value)) return false;
  map.emplace(key, value);
  return true;
}

}  // namespace

std::string TPassCache::CanonicalNumber(const std::string& number) {
  if (!IsPlainInteger(number)) return "";
  size_t i = number[0] == '+' || number[0] == '-' ? 1 : 0;
  const bool negative = number[0] == '-';
  while (i + 1 < number.size() && number[i] == '0') ++i;
  const std::string digits = number.substr(i);
  return negative && digits != "0" ? "-" + digits : digits;
}

bool TPassCache::Card(const std::string& number, TCard& card) {
  if (number == "null") {  // NULL is no card's number
    card = TCard{};
    return true;
  }
  const auto it = cards_.find(CanonicalNumber(number));
  if (it != cards_.end() && !it->first.empty()) {
    card = it->second;
    return true;
  }
  return statements_.Card(number, card);
}

bool TPassCache::TypeById(int64_t id, TType& type) {
  return Remembered(typesById_, id, type, [&](TType& t) { return statements_.TypeById(id, t); });
}

bool TPassCache::TypeByName(const std::string& name, TType& type) {
  return Remembered(typesByName_, name, type,
                    [&](TType& t) { return statements_.TypeByName(name, t); });
}

bool TPassCache::Group(const std::string& name, bool& found, int32_t& id) {
  const auto it = groups_.find(name);
  if (it != groups_.end()) {
    found = it->second.first;
    id = it->second.second;
    return true;
  }
  if (!statements_.Group(name, found, id)) return false;
  groups_[name] = {found, id};
  return true;
}

bool TPassCache::LoadCards(const std::vector<TStagedRecord>& records, size_t from) {
  std::vector<std::string> wanted;
  std::set<std::string> seen;
  for (size_t i = from; i < records.size(); ++i) {
    const std::string key = CanonicalNumber(records[i].number);
    if (!key.empty() && cards_.count(key) == 0 && seen.insert(key).second) wanted.push_back(key);
  }
  for (size_t begin = 0; begin < wanted.size(); begin += LookupBatchNumbers) {
    const size_t end = std::min(wanted.size(), begin + LookupBatchNumbers);
    std::string list;
    for (size_t i = begin; i < end; ++i) list += (i == begin ? "" : ", ") + wanted[i];
    std::map<std::string, TCard> found;
    bool readable = true;  // every row's number could be matched to a key
    if (work_.Exec("SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN (" +
                   list + ")")) {
      do {
        const std::string key = CanonicalNumber(work_.FieldAsString("number"));
        TCard card;
        card.exists = true;
        card.typeId = work_.FieldAsInteger("type_id");
        card.debitLeft = work_.FieldAsInteger("debit_left");
        card.expiry = work_.FieldAsDateTime("exp_iry");
        if (key.empty()) readable = false;
        found.emplace(key, card);  // the first row of a number, as its own lookup takes it
      } while (work_.Skip(skNext, 1));
    }
    if (LostConnection(work_)) return false;
    // A failed lookup, or a fetch that failed part way, says nothing of the numbers missing.
    if (!work_.ErrorText().empty()) readable = false;
    for (size_t i = begin; i < end; ++i) {
      const auto it = found.find(wanted[i]);
      if (it != found.end()) {
        cards_[wanted[i]] = it->second;
      } else if (readable) {
        cards_[wanted[i]] = TCard{};
      }
    }
  }
  return true;
}

TPassOutcome TCardIntake::ApplyRangeBatched(const std::vector<TStagedRecord>& records,
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
      bool apply = clock_.Now() > staged.startDt;
      if (!apply) {
        TCardLookups::TCard card;
        if (!cache.Card(NumberLiteral(sql, staged.number), card)) return poConnectionLost;
        apply = !card.exists;  // no card yet: a new card takes effect at once
      }
      if (!apply) {
        NoteWaiting(staged);
        ++left;
        continue;
      }
      TCardPlan plan;
      const TApplyOutcome planned = PlanStagedRecord(staged, cache, plan);
      if (planned == aoConnectionLost) return poConnectionLost;
      if (planned == aoSkipped) {
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
            ++Tally.applied;
          } else if (outcome != aoTaken) {
            ++left;
          }
        }
        break;
      case srCommitted:
        Tally.applied += plans.size();
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
TCardIntake::TSegmentResult TCardIntake::RunSegment(const std::vector<TCardPlan>& plans,
                                                    const std::vector<const TStagedRecord*>& batch,
                                                    TODBCStatement& work, TPassCache& cache) {
  if (plans.empty()) return srCommitted;
  const auto failed = [&] {
    return LostConnection(work) || StopRequested() ? srConnectionLost : srFailed;
  };
  TMainTransaction transaction(work);
  if (transaction.Failed()) return failed();

  // Deleting first claims the records: one that another process has taken meanwhile is gone,
  // and the count shows it.
  std::string ids;
  for (const TCardPlan& plan : plans) ids += (ids.empty() ? "" : ", ") + plan.id;
  if (!work.Exec("DELETE FROM futurecard WHERE id IN (" + ids + ")")) return failed();
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
    return work.Exec("INSERT INTO card (" + *columns + ") Values " + values);
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

bool TCardIntake::CardsUnchanged(const std::vector<const TStagedRecord*>& batch,
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
  const std::string query =
      "SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN (" + list + ")";
  bool read = false;
  if (lockingReads_) {
    read = work.Exec(query + " FOR UPDATE");
    if (!read && !work.ErrorText().empty()) {
      if (LostConnection(work) || TransientFailure(work.ErrorText())) return false;
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

#include "intake/pass_cache.h"

#include <algorithm>
#include <set>

#include "db/statement.h"
#include "intake/card_sql.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

// Numbers of one card lookup.
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

bool TStatementLookups::Card(const std::string& number, TCard& card) {
  card = TCard{};
  const std::string lookup = CardByNumberSql(number);
  if (lockingReads_ != nullptr && *lockingReads_) {
    card.exists = work_.Exec(lookup + " FOR UPDATE");
    if (card.exists) return ReadCard(card);
    if (work_.ErrorText().empty()) return true;  // no such card
    if (LostConnection(work_) || work_.TryAgain()) return false;
    *lockingReads_ = false;  // a database without FOR UPDATE (SQLite: the claim locked it all)
  }
  card.exists = work_.Exec(lookup);
  if (!card.exists) return !LostConnection(work_);
  return ReadCard(card);
}

bool TStatementLookups::ReadCard(TCard& card) {
  // in the table's column order, each once
  card.typeId = work_.FieldAsInteger("type_id");
  card.debitLeft = work_.FieldAsInteger("debit_left");
  card.expiry = work_.FieldAsDateTime("exp_iry");
  return true;
}

namespace {

bool ReadType(TODBCStatement& work, bool found, TCardLookups::TType& type) {
  type = TCardLookups::TType{};
  type.found = found;
  if (!found) return !LostConnection(work);
  type.id = work.FieldAsInteger("id");
  type.monthly = work.FieldAsBoolean("monthly_flg");
  type.debit = work.FieldAsBoolean("debit_flg");
  type.globalExpiry = work.FieldAsBoolean("global_expiry");
  return true;
}

}  // namespace

bool TStatementLookups::TypeById(int64_t id, TType& type) {
  return ReadType(
      work_, work_.Exec(TypeByIdSql(id)),
      type);
}

bool TStatementLookups::TypeByName(const std::string& name, TType& type) {
  return ReadType(
      work_, work_.Exec(TypeByNameSql(sql_, name)),
      type);
}

bool TStatementLookups::Group(const std::string& name, bool& found, int32_t& id) {
  found = work_.Exec(PoolIdSql(sql_, name));
  id = found ? work_.FieldAsInteger("id") : 0;
  return found || !LostConnection(work_);
}

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
    if (work_.Exec(CardsByNumberSql(list))) {
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

}  // namespace fw

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

TDbStatus Answer(bool found) { return found ? TDbStatus() : TDbStatus::NoRow(); }

}  // namespace

TDbStatus TStatementLookups::Run(const TBoundSql& sql) {
  TDbStatus status = work_.Exec(sql);
  if (status.Failed()) failedSql_ = sql;
  return status;
}

TDbStatus TStatementLookups::Card(const TSqlValue& number, TCard& card) {
  card = TCard{};
  TBoundSql query = CardByNumberSql(number, sql_.DriverKind());
  if (lockCards_) query += " FOR UPDATE";
  const TDbStatus status = Run(query);
  if (!status.Ok()) return status;
  // in the table's column order, each once
  card.exists = true;
  card.typeId = work_.FieldAsInteger("type_id");
  card.debitLeft = work_.FieldAsInteger("debit_left");
  card.expiry = work_.FieldAsDateTime("exp_iry");
  return status;
}

TDbStatus TStatementLookups::ReadType(const TBoundSql& sql, TType& type) {
  type = TType{};
  const TDbStatus status = Run(sql);
  if (!status.Ok()) return status;
  type.found = true;
  type.id = work_.FieldAsInteger("id");
  type.monthly = work_.FieldAsBoolean("monthly_flg");
  type.debit = work_.FieldAsBoolean("debit_flg");
  type.globalExpiry = work_.FieldAsBoolean("global_expiry");
  return status;
}

TDbStatus TStatementLookups::TypeById(int64_t id, TType& type) {
  return ReadType(TypeByIdSql(static_cast<long long>(id)), type);
}

TDbStatus TStatementLookups::TypeByName(const std::string& name, TType& type) {
  return ReadType(TypeByNameSql(sql_, name), type);
}

TDbStatus TStatementLookups::Group(const std::string& name, int32_t& id) {
  const TDbStatus status = Run(PoolIdSql(sql_, name));
  id = status.Ok() ? work_.FieldAsInteger("id") : 0;
  return status;
}

std::string TPassCache::CanonicalNumber(const std::string& number) {
  if (!IsPlainInteger(number)) return "";
  size_t i = number[0] == '+' || number[0] == '-' ? 1 : 0;
  const bool negative = number[0] == '-';
  while (i + 1 < number.size() && number[i] == '0') ++i;
  const std::string digits = number.substr(i);
  return negative && digits != "0" ? "-" + digits : digits;
}

TDbStatus TPassCache::Card(const TSqlValue& number, TCard& card) {
  if (number.null) {  // NULL is no card's number
    card = TCard{};
    return TDbStatus::NoRow();
  }
  const auto it = cards_.find(number.kind == svNumber ? CanonicalNumber(number.text) : "");
  if (it != cards_.end() && !it->first.empty()) {
    card = it->second;
    return Answer(card.exists);
  }
  const TDbStatus status = statements_.Card(number, card);
  if (status.Failed()) failedSql_ = statements_.FailedSql();
  return status;
}

template <class Key, class Lookup>
TDbStatus TPassCache::RememberType(std::map<Key, TType>& known, const Key& key, TType& type,
                                   Lookup lookup) {
  if (const auto it = known.find(key); it != known.end()) {
    type = it->second;
    return Answer(type.found);
  }
  const TDbStatus status = lookup();
  if (status.Failed()) {
    failedSql_ = statements_.FailedSql();
  } else {
    known.emplace(key, type);
  }
  return status;
}

TDbStatus TPassCache::TypeById(int64_t id, TType& type) {
  return RememberType(typesById_, id, type, [&] { return statements_.TypeById(id, type); });
}

TDbStatus TPassCache::TypeByName(const std::string& name, TType& type) {
  return RememberType(typesByName_, name, type,
                      [&] { return statements_.TypeByName(name, type); });
}

TDbStatus TPassCache::Group(const std::string& name, int32_t& id) {
  if (const auto it = groups_.find(name); it != groups_.end()) {
    id = it->second.second;
    return it->second.first;
  }
  const TDbStatus status = statements_.Group(name, id);
  if (status.Failed()) {
    failedSql_ = statements_.FailedSql();
  } else {
    groups_.emplace(name, std::make_pair(status, id));
  }
  return status;
}

TDbStatus TPassCache::LoadCards(const std::vector<TStagedRecord>& records, size_t from) {
  std::vector<std::string> wanted;
  std::set<std::string> seen;
  for (size_t i = from; i < records.size(); ++i) {
    const std::string key = CanonicalNumber(records[i].number);
    if (!key.empty() && cards_.count(key) == 0 && seen.insert(key).second) wanted.push_back(key);
  }
  for (size_t begin = 0; begin < wanted.size(); begin += LookupBatchNumbers) {
    const size_t end = std::min(wanted.size(), begin + LookupBatchNumbers);
    std::map<std::string, TCard> found;
    bool readable = true;  // every row's number could be matched to a key
    const TBoundSql query = CardsByNumberSql(
        std::vector<std::string>(wanted.begin() + begin, wanted.begin() + end));
    TDbStatus status = work_.Exec(query);
    const int number = work_.ColumnIndex("number"), typeId = work_.ColumnIndex("type_id"),
              debitLeft = work_.ColumnIndex("debit_left"), expiry = work_.ColumnIndex("exp_iry");
    while (status.Ok()) {
      // in the table's column order, each once
      const std::string key = CanonicalNumber(work_.ColumnText(number));
      TCard card;
      card.exists = true;
      card.typeId = work_.ColumnInteger(typeId);
      card.debitLeft = work_.ColumnInteger(debitLeft);
      card.expiry = work_.ColumnDateTime(expiry);
      if (key.empty()) readable = false;
      found.emplace(key, card);  // the first row of a number, as its own lookup takes it
      status = work_.Skip(skNext, 1);
    }
    // A read that failed part way says nothing of the numbers missing.
    if (status.Failed()) {
      failedSql_ = query;
      return status;
    }
    for (size_t i = begin; i < end; ++i) {
      const auto it = found.find(wanted[i]);
      if (it != found.end()) {
        cards_[wanted[i]] = it->second;
      } else if (readable) {
        cards_[wanted[i]] = TCard{};
      }
    }
  }
  return TDbStatus();
}

}  // namespace fw

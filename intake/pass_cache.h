// The lookups of the future-card pass: TStatementLookups runs one statement per question, and
// TPassCache, what the batched pass reads ahead: the cards of a range of staged records in a
// few statements, and every card type and group once per pass. A miss runs the record's own
// statement, so an answer is always the one that statement would give.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/status.h"
#include "intake/card_plan.h"

namespace fw {

// The statements of one record, one at a time, on `work`.
class TStatementLookups : public TCardLookups {
 public:
  TStatementLookups(TODBCStatement& work, const TSql& sql) : work_(work), sql_(sql) {}
  // Reads cards with FOR UPDATE (only where the database has it): a lock that cannot be had
  // (a deadlock, a timeout) fails the lookup.
  void LockCards(bool lock) { lockCards_ = lock; }
  TDbStatus Card(const TSqlValue& number, TCard& card) override;
  TDbStatus TypeById(int64_t id, TType& type) override;
  TDbStatus TypeByName(const std::string& name, TType& type) override;
  TDbStatus Group(const std::string& name, int32_t& id) override;
  const TBoundSql& FailedSql() const override { return failedSql_; }

 private:
  TDbStatus Run(const TBoundSql& sql);  // notes the statement of a failure
  TDbStatus ReadType(const TBoundSql& sql, TType& type);

  TODBCStatement& work_;
  const TSql& sql_;
  bool lockCards_ = false;
  TBoundSql failedSql_;
};

class TPassCache : public TCardLookups {
 public:
  TPassCache(TODBCStatement& work, const TSql& sql) : work_(work), statements_(work, sql) {}

  // Answers what it read ahead, and otherwise runs the record's own statement.
  TDbStatus Card(const TSqlValue& number, TCard& card) override;
  TDbStatus TypeById(int64_t id, TType& type) override;
  TDbStatus TypeByName(const std::string& name, TType& type) override;
  TDbStatus Group(const std::string& name, int32_t& id) override;
  const TBoundSql& FailedSql() const override { return failedSql_; }

  // Reads the cards of records[from..] not known yet: dcOk, or the failure of a read, which
  // leaves the cards it did not read unknown (FailedSql() names the statement).
  TDbStatus LoadCards(const std::vector<TStagedRecord>& records, size_t from);
  void ForgetCard(const std::string& number) { cards_.erase(CanonicalNumber(number)); }
  void ForgetCards() { cards_.clear(); }

  // A plain integer as the database gives it back: no plus sign, no leading zeros, no "-0".
  // Empty for anything else.
  static std::string CanonicalNumber(const std::string& number);

 private:
  // A type found or not is kept for the rest of the pass; a failure is not.
  template <class Key, class Lookup>
  TDbStatus RememberType(std::map<Key, TType>& known, const Key& key, TType& type, Lookup lookup);

  TODBCStatement& work_;
  TStatementLookups statements_;
  std::unordered_map<std::string, TCard> cards_;  // by canonical number
  std::map<int64_t, TType> typesById_;  // found or not
  std::map<std::string, TType> typesByName_;
  std::map<std::string, std::pair<TDbStatus, int32_t>> groups_;  // dcOk or dcNoRow
  TBoundSql failedSql_;
};

}  // namespace fw

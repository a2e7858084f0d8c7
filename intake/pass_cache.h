// The lookups of the future-card pass: TStatementLookups runs one statement per question, and
// TPassCache, what the batched pass reads ahead: the cards of a range of staged records in a
// few statements, and every card type and group once per pass. A miss runs the record's own
// statement, so an answer is always the one that statement would give.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "intake/card_plan.h"

namespace fw {

// The statements of one record, one at a time, on `work`.
class TStatementLookups : public TCardLookups {
 public:
  TStatementLookups(TODBCStatement& work, const TSql& sql) : work_(work), sql_(sql) {}
  // Reads cards with FOR UPDATE while `*lockingReads` (cleared where the database has none);
  // then a lock that cannot be had (a deadlock, a timeout) fails the lookup too.
  void LockCards(bool* lockingReads) { lockingReads_ = lockingReads; }
  bool Card(const std::string& number, TCard& card) override;
  bool TypeById(int64_t id, TType& type) override;
  bool TypeByName(const std::string& name, TType& type) override;
  bool Group(const std::string& name, bool& found, int32_t& id) override;

 private:
  bool ReadCard(TCard& card);  // from the row the lookup fetched

  TODBCStatement& work_;
  const TSql& sql_;
  bool* lockingReads_ = nullptr;
};

class TPassCache : public TCardLookups {
 public:
  TPassCache(TODBCStatement& work, const TSql& sql) : work_(work), statements_(work, sql) {}

  bool Card(const std::string& number, TCard& card) override;
  bool TypeById(int64_t id, TType& type) override;
  bool TypeByName(const std::string& name, TType& type) override;
  bool Group(const std::string& name, bool& found, int32_t& id) override;

  // Reads the cards of records[from..] not known yet; false when the connection was lost.
  bool LoadCards(const std::vector<TStagedRecord>& records, size_t from);
  void ForgetCard(const std::string& number) { cards_.erase(CanonicalNumber(number)); }
  void ForgetCards() { cards_.clear(); }

  // A plain integer as the database gives it back: no plus sign, no leading zeros, no "-0".
  // Empty for anything else.
  static std::string CanonicalNumber(const std::string& number);

 private:
  TODBCStatement& work_;
  TStatementLookups statements_;
  std::map<std::string, TCard> cards_;
  std::map<int64_t, TType> typesById_;
  std::map<std::string, TType> typesByName_;
  std::map<std::string, std::pair<bool, int32_t>> groups_;
};

}  // namespace fw

#include "intake/card_ledger.h"

#include <cstdio>
#include <vector>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_sql.h"

namespace fw {

std::string ContentHash(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

namespace {

// name, file_size, modified, content_hash
std::vector<TSqlValue> KeyValues(const TCardLedger::TKey& key) {
  return {TSqlValue::Text(key.name), TSqlValue::Integer(static_cast<int64_t>(key.stamp.size)),
          TSqlValue::Integer(key.stamp.modified), TSqlValue::Text(key.hash)};
}

}  // namespace

TCardLedger::TAnswer TCardLedger::LookUp(const TKey& key, std::string* failure) {
  if (!present_) return laAbsent;
  TODBCStatement lookup(mainDb_, caReadOnly);
  const TSql sql(mainDb_.DriverKind());
  const TBoundSql query = sql.Bound(
      "SELECT COUNT(*) AS n FROM card_file WHERE name = ? AND file_size = ? AND "
      "modified = ? AND content_hash = ? AND outcome = 'staged'",
      KeyValues(key));
  const TDbStatus status = lookup.Exec(query);
  if (status.Ok()) return lookup.FieldAsInteger("n") > 0 ? laStaged : laNotStaged;
  if (status.Code() == dcLost || mainDb_.LostConnection()) return laLost;
  // A COUNT always has its row: anything else is a failure, never "no ledger".
  if (failure != nullptr) *failure = FailureText(status, query);
  return laFailed;
}

TBoundSql TCardLedger::InsertSql(const TSql& sql, const TKey& key) const {
  TBoundSql insert = sql.Bound(
      "INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
      "VALUES (?, ?, ?, ?, ?, 'staged')",
      KeyValues(key));
  insert.values.push_back(TSqlValue::Timestamp(clock_.Now()));
  return insert;
}

bool TCardLedger::Prune(int days) {
  if (days <= 0 || !mainDb_.Connected()) return false;
  TODBCStatement prune(mainDb_);
  return prune
      .Exec(TBoundSql("DELETE FROM card_file WHERE staged_at < ?",
                      {TSqlValue::Timestamp(clock_.Now() - days)}, mainDb_.DriverKind()))
      .Ok();
}

}  // namespace fw

#include "intake/card_ledger.h"

#include <cstdio>

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

std::string KeyCondition(const TSql& sql, const std::string& name, const TFileStamp& stamp,
                         const std::string& hash) {
  return "name = " + sql.QuotedValue(name) + " AND file_size = " + std::to_string(stamp.size) +
         " AND modified = " + std::to_string(stamp.modified) +
         " AND content_hash = " + sql.QuotedValue(hash);
}

}  // namespace

TCardLedger::TAnswer TCardLedger::LookUp(const TKey& key, std::string* failure) {
  if (!present_) return laAbsent;
  TODBCStatement lookup(mainDb_, caReadOnly);
  const TSql sql(mainDb_.DriverKind());
  const std::string query = "SELECT COUNT(*) AS n FROM card_file WHERE " +
                            KeyCondition(sql, key.name, key.stamp, key.hash) +
                            " AND outcome = 'staged'";
  const TDbStatus status = lookup.Exec(query);
  if (status.Ok()) return lookup.FieldAsInteger("n") > 0 ? laStaged : laNotStaged;
  if (status.Code() == dcLost || mainDb_.LostConnection()) return laLost;
  // A COUNT always has its row: anything else is a failure, never "no ledger".
  if (failure != nullptr) *failure = FailureText(status, query);
  return laFailed;
}

std::string TCardLedger::InsertSql(const TSql& sql, const TKey& key) const {
  return "INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
         "VALUES (" +
         sql.QuotedValue(key.name) + ", " + std::to_string(key.stamp.size) + ", " +
         std::to_string(key.stamp.modified) + ", " + sql.QuotedValue(key.hash) + ", " +
         TimestampLiteral(clock_.Now()) + ", 'staged')";
}

bool TCardLedger::Prune(int days) {
  if (days <= 0 || !mainDb_.Connected()) return false;
  TODBCStatement prune(mainDb_);
  return prune
      .Exec("DELETE FROM card_file WHERE staged_at < " + TimestampLiteral(clock_.Now() - days))
      .Ok();
}

}  // namespace fw

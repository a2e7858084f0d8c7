// The ledger of staged card files: table card_file, optional. A row is written in the
// transaction that stages a file, so it exists exactly when that staging was committed.
#include <cstdio>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_intake.h"

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

TLedgerState LedgerState(TODBC& db, const std::string& name, const TFileStamp& stamp,
                         const std::string& hash) {
  TODBCStatement lookup(db, true);
  const TSql sql(db.DriverKind());
  if (lookup.Exec("SELECT COUNT(*) AS n FROM card_file WHERE " +
                  KeyCondition(sql, name, stamp, hash) + " AND outcome = 'staged'")) {
    return lookup.FieldAsInteger("n") > 0 ? lsStaged : lsNotStaged;
  }
  if (lookup.LostConnection() || db.LostConnection()) return lsLost;
  return lsNoLedger;  // no such table: intake works as it does without one
}

TCardIntake::TLedgerAnswer TCardIntake::LookUpLedger(const TLedgerKey& key) {
  switch (LedgerState(mainDb_, key.name, key.stamp, key.hash)) {
    case lsStaged:
      return laStaged;
    case lsNotStaged:
      return laNotStaged;
    case lsLost:
      return laLost;
    case lsNoLedger:
      break;
  }
  return laAbsent;
}

std::string TCardIntake::LedgerInsertSql(const TSql& sql, const TLedgerKey& key) const {
  return "INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
         "VALUES (" +
         sql.QuotedValue(key.name) + ", " + std::to_string(key.stamp.size) + ", " +
         std::to_string(key.stamp.modified) + ", " + sql.QuotedValue(key.hash) + ", " +
         TimestampLiteral(clock_.Now()) + ", 'staged')";
}

bool TCardIntake::PruneLedger(int days) {
  if (days <= 0 || !mainDb_.Connected()) return false;
  TODBCStatement prune(mainDb_);
  return prune.Exec("DELETE FROM card_file WHERE staged_at < " +
                    TimestampLiteral(clock_.Now() - days));
}

}  // namespace fw

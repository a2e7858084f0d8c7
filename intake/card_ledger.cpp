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

TCardIntake::TLedgerAnswer TCardIntake::LookUpLedger(const TLedgerKey& key) {
  TODBCStatement lookup(mainDb_, true);
  const TSql sql(mainDb_.DriverKind());
  if (lookup.Exec("SELECT COUNT(*) AS n FROM card_file WHERE " +
                  KeyCondition(sql, key.name, key.stamp, key.hash) + " AND outcome = 'staged'")) {
    return lookup.FieldAsInteger("n") > 0 ? laStaged : laNotStaged;
  }
  if (lookup.LostConnection() || mainDb_.LostConnection()) return laLost;
  return laAbsent;  // no such table: intake works as it does without one
}

std::string TCardIntake::LedgerInsertSql(const TSql& sql, const TLedgerKey& key) const {
  return "INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
         "VALUES (" +
         sql.QuotedValue(key.name) + ", " + std::to_string(key.stamp.size) + ", " +
         std::to_string(key.stamp.modified) + ", " + sql.QuotedValue(key.hash) + ", " +
         TimestampLiteral(clock_.Now()) + ", 'staged')";
}

TCardIntake::TClaim TCardIntake::ClaimInLedger(const TLedgerKey& key, TODBCStatement& statement,
                                               std::string& error) {
  const TSql sql(statement.Connection().DriverKind());
  if (statement.Exec(LedgerInsertSql(sql, key))) return clClaimed;
  error = statement.ErrorText();
  const bool lost = statement.LostConnection() || statement.Connection().LostConnection();
  return lost || StopRequested() ? clLost : clRefused;
}

// Decided by what the ledger holds, not by the error: a duplicate key once the other
// transaction committed, a lock wait that ran out or a cluster's certification failure all
// come down to "staged by another server" or "not yet".
TFileOutcome TCardIntake::AfterRefusedClaim(THeldFile& file, const TLedgerKey& key,
                                            const std::string& error) {
  const std::string path = file.Path();
  switch (LookUpLedger(key)) {
    case laStaged:
      return MoveAlreadyStaged(file);
    case laLost:
      log_.AddLine("Lost the database connection while staging " + path + ", will retry later");
      return foConnectionLost;
    default:
      log_.AddLine("Failed to load " + path + ", will retry later: " + error);
      return foLoadFailed;
  }
}

TFileOutcome TCardIntake::MoveAlreadyStaged(THeldFile& file) {
  const std::string path = file.Path();
  const TFileStamp stamp = file.Stamp();
  if (MoveToFolder(file, DtlFilesDir)) {
    log_.AddLine("Already staged " + path + " (card_file), moved to " + DtlFilesDir +
                 " without staging it again");
    return foMoveRetried;
  }
  log_.AddLine(MovedByAnother(path, stamp, DtlFilesDir)
                   ? "Already staged " + path + " (card_file) by another server, which moved it"
                   : "Already staged " + path + " (card_file), not staged again; cannot " +
                         "move it to " + DtlFilesDir);
  return foMoveRetried;
}

bool TCardIntake::PruneLedger(int days) {
  if (days <= 0 || !mainDb_.Connected()) return false;
  TODBCStatement prune(mainDb_);
  return prune.Exec("DELETE FROM card_file WHERE staged_at < " +
                    TimestampLiteral(clock_.Now() - days));
}

}  // namespace fw

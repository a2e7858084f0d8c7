// The ledger of staged card files: table card_file on MainDb, optional (Present()). Its row of a file is
// written in the transaction that stages the file, so it exists exactly when that staging was
// committed; a file whose commit outcome was lost with the connection is decided by it at the
// next scan. Rows live for the retention days of the registry.
#pragma once

#include <string>

#include "db/bound_sql.h"
#include "db/odbc.h"
#include "platform/datetime.h"
#include "platform/folder.h"

namespace fw {

class TSql;

// Registry value: days a ledger row is kept.
constexpr int kDefaultLedgerRetentionDays = 90;

// 64-bit FNV-1a of a file's bytes as 16 hex digits: what tells two contents apart in the
// ledger, beside name, size and modification time.
std::string ContentHash(const std::string& bytes);

class TCardLedger {
 public:
  TCardLedger(TODBC& mainDb, const TClock& clock) : mainDb_(mainDb), clock_(clock) {}

  // laAbsent: no ledger (Present() false); laFailed: the lookup failed on a live connection,
  // which says nothing about the file.
  enum TAnswer { laAbsent, laStaged, laNotStaged, laLost, laFailed };
  struct TKey {
    std::string name;
    TFileStamp stamp;
    std::string hash;
  };
  // `failure`, when given, gets the failed statement's codes and text (FailureText).
  TAnswer LookUp(const TKey& key, std::string* failure = nullptr);
  // The row of `key`, to be run in the staging transaction.
  TBoundSql InsertSql(const TSql& sql, const TKey& key) const;
  // Removes rows staged more than `days` days ago; false when the table is missing or the
  // delete failed.
  bool Prune(int days);

  // Whether the table is there, as the catalog answered at connect (intake/ledger_table.h);
  // true until told otherwise.
  bool Present() const { return present_; }
  void SetPresent(bool present) { present_ = present; }

 private:
  TODBC& mainDb_;
  const TClock& clock_;
  bool present_ = true;
};

}  // namespace fw

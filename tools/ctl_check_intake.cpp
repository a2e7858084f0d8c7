// The checks of `fenwoldctl check` that belong to card intake: each card table with every
// column the service reads or writes, and the three folders named in settings.
#include "db/driver_kind.h"
#include "db/statement.h"
#include "intake/card_schema.h"
#include "intake/ledger_table.h"
#include "platform/folder.h"
#include "platform/service_unit.h"
#include "tools/ctl_check.h"

namespace fw {
namespace {

// No row comes back; a missing table or column is an SQL error with the driver's text.
TCheckResult CheckColumns(TCheckContext& c, const char* table, const char* columns) {
  if (!c.mainDb.Connected()) return {TCheckStatus::kSkip, "no connection", ""};
  TODBCStatement statement(c.mainDb, caReadOnly);
  statement.Exec(std::string("SELECT ") + columns + " FROM " + table + " WHERE 1 = 0");
  const std::string error = statement.ErrorText();
  if (statement.Valid() && error.empty()) {
    return {TCheckStatus::kPass, "has the columns used", ""};
  }
  return {TCheckStatus::kFail, "missing, or lacks a column used", error};
}

TCheckResult CheckFolder(TCheckContext& c, const char* column) {
  if (!c.settingsRead) return {TCheckStatus::kSkip, "settings not read", ""};
  const auto it = c.settings.find(column);
  const std::string folder = it == c.settings.end() ? std::string() : it->second;
  if (folder.empty()) return {TCheckStatus::kFail, "not set in settings", ""};
  if (!FolderWritable(folder)) {
    return {TCheckStatus::kFail, folder + " is missing or not writable", ""};
  }
  switch (FolderWritableForAccount(folder, c.account)) {
    case awNotWritable:
      return {TCheckStatus::kWarn,
              folder + " is writable, but not for the account " + c.account +
                  " the service runs as",
              ""};
    case awAskFailed:
      // Not a pass: the account's own answer is the one that counts.
      return {TCheckStatus::kWarn,
              folder + " is writable, but could not be tried as the account " + c.account, ""};
    case awWritable:
    case awNotAsked:
      break;
  }
  return {TCheckStatus::kPass, folder + " exists and is writable", ""};
}

const TCheck kSettingsTable(300, "table settings", [](TCheckContext& c) {
  return CheckColumns(c, "settings", "audits_dir, dtlfiles_dir, dtlerrors_dir");
});
const TCheck kCardPool(310, "table card_pool", [](TCheckContext& c) {
  return CheckColumns(c, "card_pool", "id, name, max_inlot, cur_inlot");
});
const TCheck kCardType(320, "table card_type", [](TCheckContext& c) {
  return CheckColumns(c, "card_type", "id, name, monthly_flg, debit_flg, global_expiry");
});
const TCheck kFutureCard(330, "table futurecard", [](TCheckContext& c) {
  return CheckColumns(c, "futurecard",
                      "id, command, number, card_type, descr, start_dt, exp_iry, add_value, "
                      "group_name, last_name, first_name, str_eet, ci_ty, post_code, phone_res, "
                      "phone_bus, license_1, license_2, misc_1, misc_2, misc_3, misc_4");
});
const TCheck kCard(340, "table card", [](TCheckContext& c) {
  return CheckColumns(c, "card",
                      "number, type_id, group_id, debit_left, in_lot, start_dt, exp_iry, descr, "
                      "last_name, first_name, str_eet, ci_ty, post_code, phone_res, phone_bus, "
                      "license_1, license_2, misc_1, misc_2, misc_3, misc_4");
});
// The service makes it at connect where its account may; without it intake works as before,
// only less safely.
const TCheck kCardFile(350, "table card_file (optional)", [](TCheckContext& c) {
  if (!c.mainDb.Connected()) return TCheckResult{TCheckStatus::kSkip, "no connection", ""};
  const TLedgerTable table = FindLedgerTable(c.mainDb);
  if (table.state == lsUnknown) {
    return TCheckResult{TCheckStatus::kWarn, "cannot be read from this database's catalog",
                        table.error};
  }
  const char* const risk =
      "staged files are not recorded, so a file whose staging was committed just before a "
      "crash is staged again, and one whose commit outcome was unknown goes to the error "
      "folder; with two servers on one drop folder, exactly-once then depends on the share's "
      "locks reaching from one server to the other";
  if (table.state == lsMissing) {
    std::string statements;
    for (const std::string& statement : table.createStatements) statements += statement + ";\n";
    return TCheckResult{TCheckStatus::kWarn,
                        std::string("missing (the service's account may not create it): ") +
                            risk + "; create it with these statements",
                        statements};
  }
  TCheckResult result = CheckColumns(
      c, "card_file", "id, name, file_size, modified, content_hash, staged_at, outcome");
  if (result.status == TCheckStatus::kFail) {
    result.status = TCheckStatus::kWarn;
    result.summary = std::string("missing, or lacks a column used: ") + risk;
  }
  return result;
});

// The catalog query that counts unique indexes on exactly the four identity columns.
std::string IdentityIndexQuery(TDriverKind kind) {
  const char* columns = "('name', 'file_size', 'modified', 'content_hash')";
  switch (kind) {
    case dkMySql:
      return std::string("SELECT COUNT(*) AS n FROM (SELECT INDEX_NAME FROM "
                         "information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE() AND "
                         "TABLE_NAME = 'card_file' AND NON_UNIQUE = 0 GROUP BY INDEX_NAME "
                         "HAVING COUNT(*) = 4 AND SUM(COLUMN_NAME IN ") +
             columns + ") = 4) k";
    case dkPostgres:
      return std::string("SELECT COUNT(*) AS n FROM pg_index x JOIN pg_class t ON t.oid = "
                         "x.indrelid WHERE t.relname = 'card_file' AND "
                         "pg_catalog.pg_table_is_visible(t.oid) AND x.indisunique AND "
                         "x.indnatts = 4 AND (SELECT COUNT(*) FROM pg_attribute a WHERE "
                         "a.attrelid = t.oid AND a.attnum = ANY(x.indkey) AND a.attname IN ") +
             columns + ") = 4";
    default:  // SQLite
      return std::string("SELECT COUNT(*) AS n FROM pragma_index_list('card_file') l WHERE "
                         "l.\"unique\" = 1 AND (SELECT COUNT(*) FROM pragma_index_info(l.name)) "
                         "= 4 AND (SELECT COUNT(*) FROM pragma_index_info(l.name) i WHERE "
                         "i.name IN ") +
             columns + ") = 4";
  }
}

// Two servers that see the drop folder through mounts of their own both stage a file unless
// the database refuses the second ledger row.
const TCheck kCardFileIdentity(351, "card_file unique identity", [](TCheckContext& c) {
  if (!c.mainDb.Connected()) return TCheckResult{TCheckStatus::kSkip, "no connection", ""};
  if (FindLedgerTable(c.mainDb).state != lsPresent) {
    return TCheckResult{TCheckStatus::kSkip, "no card_file table", ""};
  }
  TODBCStatement query(c.mainDb, caReadOnly);
  if (!query.Exec(IdentityIndexQuery(c.mainDb.DriverKind()))) {
    return TCheckResult{TCheckStatus::kWarn, "cannot be read from this database's catalog",
                        query.ErrorText()};
  }
  if (query.FieldAsInteger("n") > 0) {
    return TCheckResult{TCheckStatus::kPass, "name, size, modification time and hash", ""};
  }
  std::string upgrade;
  for (const std::string& statement : CardFileIdentityUpgrade()) upgrade += statement + ";\n";
  return TCheckResult{
      TCheckStatus::kWarn,
      "missing (a ledger made by an earlier version): two servers on one network share may "
      "both stage a file; add it with these statements",
      upgrade};
});

const TCheck kDrop(400, "drop folder (audits_dir)",
                   [](TCheckContext& c) { return CheckFolder(c, "AUDITS_DIR"); });
const TCheck kDone(410, "staged files folder (dtlfiles_dir)",
                   [](TCheckContext& c) { return CheckFolder(c, "DTLFILES_DIR"); });
const TCheck kErrors(420, "error folder (dtlerrors_dir)",
                     [](TCheckContext& c) { return CheckFolder(c, "DTLERRORS_DIR"); });

}  // namespace
}  // namespace fw

// The checks of `fenwoldctl check` that belong to card intake: each card table with every
// column the service reads or writes, and the three folders named in settings.
#include "db/statement.h"
#include "platform/folder.h"
#include "platform/service_unit.h"
#include "tools/ctl_check.h"

namespace fw {
namespace {

// No row comes back; a missing table or column is an SQL error with the driver's text.
TCheckResult CheckColumns(TCheckContext& c, const char* table, const char* columns) {
  if (!c.mainDb.Connected()) return {TCheckStatus::kSkip, "no connection", ""};
  TODBCStatement statement(c.mainDb, true);
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
  bool known = false;
  if (!FolderWritableForAccount(folder, known) && known) {
    return {TCheckStatus::kWarn,
            folder + " is writable, but not for the account " + kServiceAccount + " the service runs as",
            ""};
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

const TCheck kDrop(400, "drop folder (audits_dir)",
                   [](TCheckContext& c) { return CheckFolder(c, "AUDITS_DIR"); });
const TCheck kDone(410, "staged files folder (dtlfiles_dir)",
                   [](TCheckContext& c) { return CheckFolder(c, "DTLFILES_DIR"); });
const TCheck kErrors(420, "error folder (dtlerrors_dir)",
                     [](TCheckContext& c) { return CheckFolder(c, "DTLERRORS_DIR"); });

}  // namespace
}  // namespace fw

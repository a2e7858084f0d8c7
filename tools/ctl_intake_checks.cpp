#include "tools/ctl_intake_checks.h"

#include "db/statement.h"
#include "platform/folder.h"

namespace fw {
namespace {

struct TTableColumns {
  const char* table;
  const char* columns;
};

const TTableColumns UsedColumns[] = {
    {"settings", "audits_dir, dtlfiles_dir, dtlerrors_dir"},
    {"card_pool", "id, name, max_inlot, cur_inlot"},
    {"card_type", "id, name, monthly_flg, debit_flg, global_expiry"},
    {"futurecard",
     "id, command, number, card_type, descr, start_dt, exp_iry, add_value, group_name, "
     "last_name, first_name, str_eet, ci_ty, post_code, phone_res, phone_bus, license_1, "
     "license_2, misc_1, misc_2, misc_3, misc_4"},
    {"card",
     "number, type_id, group_id, debit_left, in_lot, start_dt, exp_iry, descr, last_name, "
     "first_name, str_eet, ci_ty, post_code, phone_res, phone_bus, license_1, license_2, "
     "misc_1, misc_2, misc_3, misc_4"},
};

}  // namespace

std::vector<TCheckResult> CheckCardTables(TODBC& db) {
  std::vector<TCheckResult> results;
  for (const TTableColumns& t : UsedColumns) {
    TODBCStatement statement(db, true);
    // No row comes back; a missing table or column is an SQL error with diagnostics.
    statement.Exec(std::string("SELECT ") + t.columns + " FROM " + t.table + " WHERE 1 = 0");
    const std::string error = statement.ErrorText();
    TCheckResult r;
    r.ok = statement.Valid() && error.empty();
    r.text = std::string("table ") + t.table + (r.ok ? " has the columns used" : ": " + error);
    results.push_back(r);
  }
  return results;
}

std::vector<TCheckResult> CheckCardFolders(TODBC& db) {
  TODBCStatement settings(db, true);
  settings.Exec("SELECT * FROM settings");
  std::vector<TCheckResult> results;
  for (const char* column : {"audits_dir", "dtlfiles_dir", "dtlerrors_dir"}) {
    const std::string folder = settings.FieldAsString(column);
    TCheckResult r;
    r.ok = !folder.empty() && FolderWritable(folder);
    r.text = std::string("folder ") + column + " ";
    if (folder.empty()) {
      r.text += "is not set in settings";
    } else {
      r.text += folder + (r.ok ? " exists and is writable" : " is missing or not writable");
    }
    results.push_back(r);
  }
  return results;
}

}  // namespace fw

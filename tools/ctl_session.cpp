#include "tools/ctl_session.h"

#include <cstdio>
#include <cstdlib>

#include "config/conn_params.h"
#include "db/statement.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "service/run_settings.h"

namespace fw {

std::string ServiceLogPath() {
  return RunSettingsFromEnvironment().logFolder + "fenwold.log";
}

bool TCtlSession::Open(const std::string& command, bool withStaging) {
  log = std::make_unique<TMessLog>(ServiceLogPath(), TLogOptions{.dailyFiles = true});
  const TConnParams params;
  encoding = {params.CardFileEncoding, params.CardFileCodePage};
  settleMs = params.CardFileSettleMs;
  mainDb = std::make_unique<TODBC>();
  if (!mainDb->Connect(params.DSNName, params.User, params.Pass, params.Database, false,
                       params.ODBCDriver, params.ConnectOptions())) {
    log->AddLine("fenwoldctl " + command + ": cannot connect to ODBC source");
    PrintErr("fenwoldctl %s: cannot connect to the database: %s\n", command.c_str(),
             mainDb->LastError().c_str());
    return false;
  }
  if (!withStaging) return true;
  stagingDb = std::make_unique<TODBC>();
  if (!stagingDb->Connect(params.DSNName, params.User, params.Pass, params.Database, true,
                          params.ODBCDriver, params.ConnectOptions())) {
    log->AddLine("fenwoldctl " + command + ": cannot connect to ODBC source for staging");
    PrintErr("fenwoldctl %s: cannot connect the staging connection: %s\n", command.c_str(),
             stagingDb->LastError().c_str());
    return false;
  }
  return true;
}

bool ConnectLikeService(TODBC& db, std::string& error) {
  const TConnParams p;
  if (db.Connect(p.DSNName, p.User, p.Pass, p.Database, false, p.ODBCDriver, p.ConnectOptions())) {
    return true;
  }
  error = db.LastError();
  return false;
}

bool ReadCardFolders(TODBC& db, TCardFolders& folders, std::string& error) {
  TODBCStatement settings(db, caReadOnly);
  if (!settings.Exec("SELECT audits_dir, dtlfiles_dir, dtlerrors_dir FROM settings")) {
    error = settings.ErrorText();
    if (error.empty()) error = "the table settings has no row";
    return false;
  }
  folders.audits = settings.FieldAsString("audits_dir");
  folders.files = settings.FieldAsString("dtlfiles_dir");
  folders.errors = settings.FieldAsString("dtlerrors_dir");
  return true;
}

}  // namespace fw

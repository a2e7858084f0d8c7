#include "tools/ctl_session.h"

#include <cstdio>
#include <cstdlib>

#include "config/conn_params.h"
#include "config/connect.h"
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
  // What the service log and the console say of a connection that cannot be made.
  const auto open = [&](std::unique_ptr<TODBC>& db, TCommitMode mode, const char* logText,
                        const char* consoleText) {
    db = std::make_unique<TODBC>();
    if (Connect(*db, params, mode)) return true;
    log->AddLine("fenwoldctl " + command + ": " + logText);
    PrintErr("fenwoldctl %s: %s: %s\n", command.c_str(), consoleText, db->LastError().c_str());
    return false;
  };
  if (!open(mainDb, cmAutoCommit, "cannot connect to ODBC source",
            "cannot connect to the database")) {
    return false;
  }
  return !withStaging ||
         open(stagingDb, cmManualCommit, "cannot connect to ODBC source for staging",
              "cannot connect the staging connection");
}

bool ConnectLikeService(TODBC& db, std::string& error) {
  if (Connect(db, TConnParams(), cmAutoCommit)) return true;
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
  folders.drop = settings.FieldAsString("audits_dir");
  folders.files = settings.FieldAsString("dtlfiles_dir");
  folders.errors = settings.FieldAsString("dtlerrors_dir");
  return true;
}

}  // namespace fw

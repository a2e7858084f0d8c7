#include "tools/ctl_session.h"

#include <cstdio>
#include <cstdlib>

#include "config/conn_params.h"
#include "platform/files.h"
#include "platform/folder.h"

namespace fw {

std::string ServiceLogPath() {
  const char* dir = std::getenv("FENWOLD_LOG_DIR");
  if (dir != nullptr && *dir != '\0') return JoinPath(dir, "fenwold.log");
  return ExtractFilePath(ExecutablePath()) + "fenwold.log";
}

bool TCtlSession::Open(const std::string& command, bool withStaging) {
  log = std::make_unique<TMessLog>(ServiceLogPath(), false, true, false, false);
  const TConnParams params;
  encoding = {params.CardFileEncoding, params.CardFileCodePage};
  mainDb = std::make_unique<TODBC>();
  if (!mainDb->Connect(params.DSNName, params.User, params.Pass, params.Database, false,
                       params.ODBCDriver, params.ConnectOptions())) {
    log->AddLine("fenwoldctl " + command + ": cannot connect to ODBC source");
    std::fprintf(stderr, "fenwoldctl %s: cannot connect to the database: %s\n", command.c_str(),
                 mainDb->LastError().c_str());
    return false;
  }
  if (!withStaging) return true;
  stagingDb = std::make_unique<TODBC>();
  if (!stagingDb->Connect(params.DSNName, params.User, params.Pass, params.Database, true,
                          params.ODBCDriver, params.ConnectOptions())) {
    log->AddLine("fenwoldctl " + command + ": cannot connect to ODBC source for staging");
    std::fprintf(stderr, "fenwoldctl %s: cannot connect the staging connection: %s\n",
                 command.c_str(), stagingDb->LastError().c_str());
    return false;
  }
  return true;
}

}  // namespace fw

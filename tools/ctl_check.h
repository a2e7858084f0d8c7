// The checks of `fenwoldctl check`: a list that several files add to, run in order, one line
// each. A check registers itself with a static TCheck; its order places it: driver options
// 100, connections 110-120, the settings read 200, the card tables 300-399, the folders
// 400-499.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "config/conn_params.h"
#include "db/odbc.h"

namespace fw {

// The account the checks ask about: $FENWOLD_SERVICE_ACCOUNT, or the service's own account.
std::string CheckedServiceAccount();

// What the checks share, filled by the checks that run first.
struct TCheckContext {
  TConnParams params;  // read from the registry once
  std::string account = CheckedServiceAccount();
  TODBC mainDb;        // auto-commit, as the service's MainDb
  TODBC stagingDb;     // manual commit, as the service's StagingDb
  bool settingsRead = false;
  // The first row of `settings`, by upper-case column name.
  std::map<std::string, std::string> settings;
};

enum class TCheckStatus { kPass, kWarn, kFail, kSkip };

struct TCheckResult {
  TCheckStatus status = TCheckStatus::kPass;
  std::string summary;  // the rest of the check's line
  std::string details;  // further lines, e.g. the driver's diagnostics (CR LF or LF separated)
};

using TCheckRun = TCheckResult (*)(TCheckContext& context);

struct TCheck {
  TCheck(int order, const char* name, TCheckRun run);
  int order;
  const char* name;
  TCheckRun run;
};

// The registered checks by order (equal orders in registration order).
std::vector<const TCheck*> RegisteredChecks();

// Runs every check, printing one line per check and its details indented below; the exit
// status: 0 when none failed (warnings pass), 1 otherwise.
int RunChecks(TCheckContext& context);

}  // namespace fw

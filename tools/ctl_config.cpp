// fenwoldctl config: the connection parameters as the service would read them, and the driver
// options it would connect with. Passwords are never shown.
#include <cstdio>
#include <string>
#include <vector>

#include "config/conn_params.h"
#include "platform/console.h"
#include "platform/registry.h"
#include "tools/ctl_command.h"

namespace fw {
namespace {

const char kMask[] = "********";

std::string Masked(const std::string& secret) {
  return secret.empty() ? "(empty)" : kMask;
}

void Line(const char* name, const std::string& value) {
  Print("  %-19s %s\n", name, value.c_str());
}
void Line(const char* name, bool value) {
  Line(name, std::string(value ? "true" : "false"));
}
void Line(const char* name, int32_t value) {
  Line(name, std::to_string(value));
}

int RunConfig(const std::vector<std::string>& args) {
  if (!args.empty()) {
    PrintErr("usage: fenwoldctl config\n");
    return 2;
  }
  const TConnParams params;
  // The options with the password masked, wherever a placeholder put it.
  TConnParams shown = params;
  if (!shown.Pass.empty()) shown.Pass = kMask;

  Print("Settings from %s\n", RegistryLocation().c_str());
  if (const std::string exposure = RegistryExposure(); !exposure.empty()) {
    Print("Warning: %s\n", exposure.c_str());
  }
  Print("Connection:\n");
  Line("DSNName", params.DSNName);
  Line("Host", params.Host);
  Line("Database", params.Database);
  Line("User", params.User);
  Line("Pass", Masked(params.Pass));
  Line("ODBCDriver", params.ODBCDriver);
  Line("ODBCOptions", params.ODBCOptions);
  Print("Card files:\n");
  Line("CardFileEncoding", params.CardFileEncoding);
  Line("CardFileCodePage", params.CardFileCodePage);
  Print("Folders and monitoring:\n");
  Line("CardFileRetentionDays", params.CardFileRetentionDays);
  Line("CardFileSettleMs", params.CardFileSettleMs);
  Line("DoneRetentionDays", params.DoneRetentionDays);
  Line("MetricsFile", params.MetricsFile);
  Print("Other settings:\n");
  Line("DebugLog", params.DebugLog);
  Line("DTLFreq", params.DTLFreq);
  Line("JavaInstalled", params.JavaInstalled);
  Line("WebSiteEnabled", params.WebSiteEnabled);
  Line("WebSiteLocation", params.WebSiteLocation);
  Line("BackupDays", params.BackupDays);
  Line("BackupTime", params.BackupTime);
  Line("BackupDest", params.BackupDest);
  Line("BackupUnique", params.BackupUnique);
  Line("BackupNotify", params.BackupNotify);
  Line("BackupEmailAddress", params.BackupEmailAddress);
  Line("SMTPServer", params.SMTPServer);
  Line("FromEmail", params.FromEmail);
  Line("AuthReq", params.AuthReq);
  Line("EmailUser", params.EmailUser);
  Line("EmailPass", Masked(params.EmailPass));
  Print("Connect:\n");
  if (!params.DSNName.empty()) Line("data source", params.DSNName + " (tried first)");
  Line("driver", params.ODBCDriver);
  Line("options", shown.ConnectOptions());
  return 0;
}

const TCtlCommand kConfig("config", "config",
                          "the connection parameters (passwords masked) and driver options",
                          RunConfig);

}  // namespace
}  // namespace fw

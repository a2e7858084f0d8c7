#include "config/conn_params.h"

#include "config/registry.h"
#include "platform/files.h"
#include "platform/text_encoding.h"

namespace fw {
namespace {

const char* const kJavaKey = "\\SOFTWARE\\JavaSoft\\Java Runtime Environment\\";
const char* const kTomcatKey = "\\SOFTWARE\\Apache Software Foundation\\Tomcat\\5.5\\";
const char* const kSettingsKey = "\\Software\\Quorvane\\Kelvo\\";

// Every occurrence, left to right; text just put in is not searched again in the same pass.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  std::string out;
  size_t start = 0;
  for (size_t hit; (hit = text.find(from, start)) != std::string::npos; start = hit + from.size()) {
    out.append(text, start, hit - start);
    out += to;
  }
  out.append(text, start);
  return out;
}

}  // namespace

TConnParams::TConnParams() {
  // The order is fixed: each read's Missing decides its default.
  TRegistryEx reg(kJavaKey);
  JavaInstalled = !reg.ReadString("CurrentVersion").empty();
  reg.SetKeyPath(kTomcatKey);
  const std::string tomcatPath = reg.ReadString("InstallPath");

  reg.SetKeyPath(kSettingsKey);
  DSNName = reg.ReadString("DSNName");
  Host = reg.ReadStringDef("Host", "127.0.0.1");
  Database = reg.ReadStringDef("Database", "orvik");
  User = reg.ReadStringDef("User", "dbowner");
  Pass = reg.ReadScrambled("Pass");
  if (reg.Missing()) Pass = "vornex";  // used as it is, not descrambled
  ODBCDriver = reg.ReadStringDef("ODBCDriver", "MySQL ODBC 3.51 Driver");
  ODBCOptions = reg.ReadStringDef("ODBCOptions", "SERVER=%h;database=%d");
  DTLFreq = reg.ReadInteger("DTLFreq");
  DebugLog = reg.ReadBoolDef("DebugLog", true);
  WebSiteEnabled = reg.ReadBool("WebSiteEnabled");
  WebSiteLocation =
      reg.ReadStringDef("WebSiteLocation", JavaInstalled ? tomcatPath : "c:\\inetpub\\wwwroot");
  BackupDays = reg.ReadIntegerDef("BackupDays", 0);
  BackupEmailAddress = reg.ReadString("BackupEmailAddress");
  BackupNotify = reg.ReadBool("BackupNotify");
  BackupUnique = reg.ReadBool("BackupUnique");
  BackupDest = reg.ReadStringDef("BackupDest", ExtractFilePath(ExecutablePath()) + "Backup");
  BackupTime = reg.ReadInteger("BackupTime");
  SMTPServer = reg.ReadString("SMTPServer");
  FromEmail = reg.ReadString("FromEmail");
  AuthReq = reg.ReadBool("AuthReq");
  EmailUser = reg.ReadString("EmailUser");
  EmailPass = reg.ReadScrambled("EmailPass");
  CardFileEncoding = reg.ReadStringDef("CardFileEncoding", "auto");
  CardFileCodePage = reg.ReadStringDef("CardFileCodePage", DefaultLegacyEncoding());
  // Days a row of the staged-files ledger (card_file) is kept; 0 or less keeps them all.
  CardFileRetentionDays = reg.ReadIntegerDef("CardFileRetentionDays", 90);
  CardFileSettleMs = reg.ReadIntegerDef("CardFileSettleMs", 0);
  CardFileEvents = reg.ReadIntegerDef("CardFileEvents", 1) != 0;
  const int32_t pollMs = reg.ReadInteger("CardFilePollMs");
  if (!reg.Missing()) CardFilePollMs = pollMs;
  // Days a staged file is kept in the done folder; 0 or less keeps them all.
  DoneRetentionDays = reg.ReadIntegerDef("DoneRetentionDays", 0);
  // The file the service writes its metrics to after every tick; empty writes none.
  MetricsFile = reg.ReadStringDef("MetricsFile", "");
}

std::string TConnParams::ConnectOptions() const {
  // Each replacement works on the output of the one before, so a host holding "%d" gets the
  // database name.
  std::string options = ReplaceAll(ODBCOptions, "%h", Host);
  options = ReplaceAll(options, "%d", Database);
  options = ReplaceAll(options, "%u", User);
  return ReplaceAll(options, "%p", Pass);
}

}  // namespace fw

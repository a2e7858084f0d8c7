// fenwoldctl check: connect as the service does, read `settings`, and warn about driver
// options known to break the service's work.
#include "tools/ctl_check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "config/connect.h"
#include "db/statement.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/service_unit.h"
#include "platform/strings.h"
#include "tools/ctl_command.h"

namespace fw {

namespace {

std::vector<const TCheck*>& CheckList() {
  static std::vector<const TCheck*> checks;
  return checks;
}

// A connection-string key or value without blanks, and without the braces that wrap a value.
std::string Unbraced(const std::string& text) {
  const size_t b = text.find_first_not_of(" \t{");
  const size_t e = text.find_last_not_of(" \t}");
  return b == std::string::npos ? std::string() : text.substr(b, e - b + 1);
}

// key=value pairs of a connection string, keys upper-cased; later pairs win.
std::map<std::string, std::string> Pairs(const std::string& text) {
  std::map<std::string, std::string> pairs;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string pair = text.substr(start, end - start);
    const size_t eq = pair.find('=');
    if (eq != std::string::npos)
      pairs[UpperAscii(Unbraced(pair.substr(0, eq)))] = Unbraced(pair.substr(eq + 1));
    start = end + 1;
  }
  return pairs;
}

bool IsOn(const std::string& value) {
  return value == "1" || UpperAscii(value) == "YES";
}

void PrintIndented(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) Print("        %s\n", line.c_str());
    start = end + 1;
  }
}

// CommLog of the driver's entry in the odbcinst.ini the driver manager reads; empty when unset.
std::string DriverCommLog(const std::string& driver) {
  const char* dir = std::getenv("ODBCSYSINI");
  const std::string path = std::string(dir && *dir ? dir : "/etc") + "/odbcinst.ini";
  std::string commLog;
  ReadIniSection(path, driver, [&commLog](const std::string& name, const std::string& value) {
    if (UpperAscii(name) == "COMMLOG") commLog = value;
  });
  return commLog;
}

TCheckResult Fail(std::string summary, std::string details = "") {
  return {TCheckStatus::kFail, std::move(summary), std::move(details)};
}

// Options of the connection (and of a file data source) that break the service's work:
// measured with MariaDB Connector/ODBC, SQLite3 ODBC and psqlODBC.
TCheckResult CheckDriverOptions(TCheckContext& c) {
  const TConnParams& p = c.params;
  std::string text = p.ConnectOptions();
  if (!p.DSNName.empty() && FileExists(p.DSNName)) {
    text = FileDsnText(p.DSNName) + ";" + text;
  }
  const auto pairs = Pairs(text);
  const auto value = [&](const char* key) {
    const auto it = pairs.find(key);
    return it == pairs.end() ? std::string() : it->second;
  };
  std::string warnings;
  const auto warn = [&](const std::string& line) { warnings += line + "\n"; };

  std::string option = value("OPTION");
  if (option.empty()) option = value("OPTIONS");
  const unsigned long flags = std::strtoul(option.c_str(), nullptr, 10);
  if (flags & 32) {
    warn("OPTION=" + option +
         " has the dynamic-cursor bit (32): a cursor walking the staged records while they are "
         "deleted silently skips rows (fenwold keeps forward-only cursors on this driver; other "
         "programs may not)");
  }
  if ((flags & 4194304) || IsOn(value("AUTO_RECONNECT"))) {
    warn(
        "automatic reconnect (OPTION bit 4194304 or AUTO_RECONNECT=1): after a lost "
        "connection the driver reconnects silently and can commit half a transaction");
  }
  if (IsOn(value("STEPAPI"))) {
    warn(
        "StepAPI=1: SQLite keeps a read cursor open on the database, and a writer on the "
        "other connection fails with \"database is locked\"");
  }
  if (IsOn(value("NOTXN"))) {
    warn(
        "NoTXN=1: SQLite then cannot roll back, so a card file with a failed line would be "
        "staged in part");
  }
  if (DetectDriverKind(p.ODBCDriver + ";" + text, dkGeneric) == dkPostgres) {
    const std::string protocol = value("PROTOCOL");
    if (protocol.size() > 2 && protocol.compare(protocol.size() - 2, 2, "-1") == 0) {
      warn("Protocol=" + protocol +
           ": psqlODBC rolls the whole transaction back at a failed statement, and the rows "
           "staged before it are lost without a word");
    }
    if (!IsOn(value("USEDECLAREFETCH"))) {
      warn(
          "no UseDeclareFetch=1: psqlODBC reads every result whole into memory, so the pass "
          "holds all staged records at once; UseDeclareFetch=1;Fetch=1000 reads them in "
          "blocks");
    }
    std::string commLog = value("COMMLOG");
    if (commLog.empty() && !p.ODBCDriver.empty()) commLog = DriverCommLog(p.ODBCDriver);
    if (IsOn(commLog)) {
      warn(
          "CommLog=1 (Debian's default for psqlODBC): every connecting process writes a log "
          "file into /tmp; set CommLog=0 in odbcinst.ini");
    }
  }
  if (warnings.empty()) return {TCheckStatus::kPass, "none known to break staging or the pass", ""};
  return {TCheckStatus::kWarn, "options known to cause trouble", warnings};
}

TCheckResult CheckConnect(TCheckContext& c, TODBC& db, TCommitMode mode) {
  if (!Connect(db, c.params, mode)) {
    return Fail(db.LostConnection() ? "the database server cannot be reached"
                                    : "the connection was refused",
                db.LastError());
  }
  return {TCheckStatus::kPass,
          std::string("connected, driver kind ") + DriverKindName(db.DriverKind()) +
              (db.BindColumns() ? ", bound columns" : ", columns read one by one"),
          ""};
}

TCheckResult CheckMainConnection(TCheckContext& c) {
  return CheckConnect(c, c.mainDb, cmAutoCommit);
}
TCheckResult CheckStagingConnection(TCheckContext& c) {
  return CheckConnect(c, c.stagingDb, cmManualCommit);
}

TCheckResult CheckSettings(TCheckContext& c) {
  if (!c.mainDb.Connected()) return {TCheckStatus::kSkip, "no connection", ""};
  TODBCStatement st(c.mainDb, caReadOnly);
  if (!st.Exec("SELECT * FROM settings")) {
    const std::string error = st.ErrorText();
    if (error.empty()) return Fail("the table settings has no row");
    return Fail("SELECT * FROM settings failed", error);
  }
  for (int i = 0; i < st.ColumnCount(); ++i) c.settings[st.ColumnName(i)] = st.ColumnText(i);
  c.settingsRead = true;
  return {TCheckStatus::kPass, "read, " + std::to_string(st.ColumnCount()) + " columns", ""};
}

const TCheck kOptions(100, "driver options", CheckDriverOptions);
const TCheck kMain(110, "connect (auto-commit, as MainDb)", CheckMainConnection);
const TCheck kStaging(120, "connect (manual commit, as StagingDb)", CheckStagingConnection);
const TCheck kSettings(200, "settings", CheckSettings);

int RunCheck(const std::vector<std::string>& args) {
  if (!args.empty()) {
    PrintErr("usage: fenwoldctl check\n");
    return 2;
  }
  auto context = std::make_unique<TCheckContext>();
  return RunChecks(*context);
}

const TCtlCommand kCheck("check", "check",
                         "connect as the service does and read settings; 0 when all pass",
                         RunCheck);

}  // namespace

std::string CheckedServiceAccount() {
  const char* account = std::getenv("FENWOLD_SERVICE_ACCOUNT");
  return account != nullptr && *account != '\0' ? account : kServiceAccount;
}

TCheck::TCheck(int o, const char* n, TCheckRun r) : order(o), name(n), run(r) {
  CheckList().push_back(this);
}

std::vector<const TCheck*> RegisteredChecks() {
  std::vector<const TCheck*> checks = CheckList();
  std::stable_sort(checks.begin(), checks.end(),
                   [](const TCheck* a, const TCheck* b) { return a->order < b->order; });
  return checks;
}

int RunChecks(TCheckContext& context) {
  bool failed = false;
  for (const TCheck* check : RegisteredChecks()) {
    TCheckResult r;
    try {
      r = check->run(context);
    } catch (const std::exception& e) {
      r = Fail("stopped by an error", e.what());
    }
    static const char* const kLabels[] = {"ok  ", "WARN", "FAIL", "skip"};
    Print("%s  %s: %s\n", kLabels[static_cast<int>(r.status)], check->name, r.summary.c_str());
    PrintIndented(r.details);
    failed |= r.status == TCheckStatus::kFail;
  }
  std::fflush(stdout);
  return failed ? 1 : 0;
}

}  // namespace fw

#include "tests/support/service_setup.h"

#include <signal.h>

#include <chrono>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace fw::test {
namespace {

std::string RegText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

bool LoadSchema(TODBC& db, TTestDriver driver, const std::string& sourceDir) {
  const std::string path = sourceDir + "/schema/" + SchemaName(driver) + ".sql";
  std::string text = ReadTextFile(path);
  if (text.empty()) {
    ADD_FAILURE() << "no schema at " << path;
    return false;
  }
  // Comments first, then one statement per ';'.
  std::string plain;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (const size_t dash = line.find("--"); dash != std::string::npos) line.erase(dash);
    plain += line + "\n";
    at = end + 1;
  }
  std::vector<std::string> statements;
  size_t start = 0;
  for (size_t semi = plain.find(';'); semi != std::string::npos; semi = plain.find(';', start)) {
    const std::string s = plain.substr(start, semi - start);
    if (s.find_first_not_of(" \t\r\n") != std::string::npos) statements.push_back(s);
    start = semi + 1;
  }
  return ExecAll(db, statements);
}

void WriteRegistryFile(const std::string& path, const TDbParams& params) {
  std::string options = params.options;
  if (!params.password.empty()) {
    if (!options.empty()) options += ';';
    options += "PWD=";
    options += params.password;
  }
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n";
  text += "\"DSNName\"=" + RegText(params.dataSource) + "\r\n";
  text += "\"Database\"=" + RegText(params.database) + "\r\n";
  text += "\"User\"=" + RegText(params.user) + "\r\n";
  text += "\"Pass\"=\"\"\r\n";  // the password travels in the options, unscrambled
  text += "\"ODBCDriver\"=" + RegText(params.driver) + "\r\n";
  text += "\"ODBCOptions\"=" + RegText(options) + "\r\n";
  WriteFileBytes(path, text);
}

TServiceFolders::TServiceFolders(const std::string& r)
    : root(r), drop(r + "/drop"), done(r + "/done"), errors(r + "/errors"), logs(r + "/logs") {
  for (const std::string* d : {&drop, &done, &errors, &logs}) {
    std::filesystem::create_directories(*d);
  }
}

bool PrepareCardDatabase(TODBC& db, TTestDriver driver, const std::string& sourceDir,
                         const TServiceFolders& folders) {
  return LoadSchema(db, driver, sourceDir) &&
         ExecAll(db, {"INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('" +
                          folders.drop + "', '" + folders.done + "', '" + folders.errors + "')",
                      "INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) "
                      "VALUES ('STAFF', 0, 0, 0)",
                      "INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) "
                      "VALUES ('DEBIT', 0, 1, 0)",
                      "INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) "
                      "VALUES ('MONTHLY', 1, 0, 0)"});
}

void DropCardFile(const TServiceFolders& folders, const std::string& name,
                  const std::string& text) {
  const std::string staging = folders.root + "/." + name + ".part";
  WriteFileBytes(staging, text);
  std::filesystem::rename(staging, folders.drop + "/" + name);
}

std::string StaffCardLine(long long number) {
  return "A," + std::to_string(number) +
         ",STAFF,Desk,0800,20250106,1800,20261231,0,,Okafor,Ada\r\n";
}

TEnv ServiceEnv(const TServiceFolders& folders, const std::string& registry, unsigned tickMs) {
  return {{"FENWOLD_REGISTRY", registry},
          {"FENWOLD_LOG_DIR", folders.logs},
          {"FENWOLD_TICK_MS", std::to_string(tickMs)}};
}

void TServiceTest::SetUp() {
  TDbTest::SetUp();
  if (HasFatalFailure()) return;
  folders_ = std::make_unique<TServiceFolders>(ScratchDir() + "/svc");
  ASSERT_TRUE(PrepareCardDatabase(*db, Driver(), FENWOLD_SOURCE_DIR, *folders_));
  registry_ = folders_->root + "/registry.reg";
  WriteRegistryFile(registry_, Params());
}

void TServiceTest::TearDown() {
  StopService();
  TDbTest::TearDown();
}

int TServiceTest::StopService() {
  if (!service_.Running()) return 0;
  service_.Signal(SIGTERM);
  return service_.Wait(std::chrono::seconds(60)).value_or(-1);
}

TEnv TServiceTest::Env(unsigned tickMs, const TEnv& extra) const {
  TEnv env = ServiceEnv(*folders_, registry_, tickMs);
  for (const auto& [key, value] : extra) env[key] = value;
  return env;
}

}  // namespace fw::test

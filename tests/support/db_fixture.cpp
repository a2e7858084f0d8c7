#include "tests/support/db_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "db/statement.h"
#include "tests/support/test_platform.h"

namespace fw::test {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string UniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::to_string(seed % 100000) + "_" + std::to_string(now % 1000000) + "_" +
         std::to_string(counter++);
}

}  // namespace

bool TDbParams::Connect(TODBC& db, bool manualCommit) const {
  const bool ok = db.Connect(dataSource, user, password, database, manualCommit, driver, options);
  if (ok) PinLoadedOdbcDrivers();
  return ok;
}

bool MariaDbServerFromEnv(TMariaDbServer& server, std::string& missing) {
  struct {
    const char* name;
    std::string* value;
  } vars[] = {{"FENWOLD_TEST_MARIADB_HOST", &server.host},
              {"FENWOLD_TEST_MARIADB_PORT", &server.port},
              {"FENWOLD_TEST_MARIADB_SOCKET", &server.socket},
              {"FENWOLD_TEST_MARIADB_USER", &server.user},
              {"FENWOLD_TEST_MARIADB_PASSWORD", &server.password},
              {"FENWOLD_TEST_MARIADB_DATABASE", &server.database}};
  missing.clear();
  for (auto& v : vars) {
    *v.value = Env(v.name);
    if (v.value->empty()) missing += (missing.empty() ? "" : ", ") + std::string(v.name);
  }
  return missing.empty();
}

std::unique_ptr<TTestDatabase> TTestDatabase::Create(TTestDriver driver, std::string& error) {
  std::unique_ptr<TTestDatabase> t(new TTestDatabase());
  t->driver_ = driver;
  if (driver == TTestDriver::kSqlite) {
    t->params_.driver = "SQLite3";
    t->params_.database = DriverPath(t->scratch_.File("test.db"));
    return t;
  }
  std::string missing;
  if (!MariaDbServerFromEnv(t->server_, missing)) {
    error = "MariaDB test server details missing: " + missing +
            " (scripts/test.sh starts a server and sets them)";
    return nullptr;
  }
  const TMariaDbServer& s = t->server_;
  t->params_ = {"", s.user, s.password, s.database, "MariaDB Unicode", s.Options()};
  TODBC admin;
  if (!t->params_.Connect(admin, false)) {
    error = "cannot reach the MariaDB test server: " + admin.LastError();
    return nullptr;
  }
  const std::string name = "fw_" + UniqueSuffix();
  if (!ExecSql(admin, "CREATE DATABASE " + name, &error)) return nullptr;
  t->params_.database = name;
  return t;
}

TTestDatabase::~TTestDatabase() {
  if (driver_ == TTestDriver::kMariaDb && params_.database != server_.database) {
    TDbParams p = params_;
    p.database = server_.database;
    TODBC admin;
    if (p.Connect(admin, false)) ExecSql(admin, "DROP DATABASE IF EXISTS " + params_.database);
  }
}

TPrivateMariaDb::~TPrivateMariaDb() {
  Stop();
}

bool TPrivateMariaDb::Run(const std::string& command, std::string& error) {
  const std::string line = "bash '" + sourceDir_ + "/scripts/mariadb.sh' " + command + " '" +
                           dir_.File("server") + "' >'" + dir_.File("script.log") + "' 2>&1";
  if (std::system(line.c_str()) == 0) return true;
  error = "scripts/mariadb.sh " + command + " failed: " + ReadFileBytes(dir_.File("script.log"));
  return false;
}

bool TPrivateMariaDb::Start(std::string& error) {
  if (!Run("start", error)) return false;
  started_ = true;
  std::ifstream env(dir_.File("server/env"));
  std::string line;
  while (std::getline(env, line)) {
    const auto value = [&](const char* key) -> const char* {
      const std::string prefix = std::string("export ") + key + "=";
      return line.rfind(prefix, 0) == 0 ? line.c_str() + prefix.size() : nullptr;
    };
    if (const char* v = value("FENWOLD_TEST_MARIADB_HOST")) server_.host = v;
    if (const char* v = value("FENWOLD_TEST_MARIADB_PORT")) server_.port = v;
    if (const char* v = value("FENWOLD_TEST_MARIADB_SOCKET")) server_.socket = v;
    if (const char* v = value("FENWOLD_TEST_MARIADB_USER")) server_.user = v;
    if (const char* v = value("FENWOLD_TEST_MARIADB_PASSWORD")) server_.password = v;
    if (const char* v = value("FENWOLD_TEST_MARIADB_DATABASE")) server_.database = v;
  }
  if (server_.port.empty()) {
    error = "the server's details are missing from " + dir_.File("server/env");
    return false;
  }
  return true;
}

int TPrivateMariaDb::Pid() const {
  std::ifstream file(dir_.File("server/pid"));
  int pid = 0;
  file >> pid;
  return ProcessAlive(pid) ? pid : 0;
}

bool TPrivateMariaDb::Kill() {
  const int pid = Pid();
  if (pid == 0 || !KillProcess(pid)) return false;
  for (int i = 0; i < 200 && ProcessAlive(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !ProcessAlive(pid);
}

bool TPrivateMariaDb::Restart(std::string& error) {
  return Run("restart", error);
}

void TPrivateMariaDb::Stop() {
  std::string ignored;
  if (started_) Run("stop", ignored);
}

TDbParams TPrivateMariaDb::Params() const {
  return {
      "", server_.user, server_.password, server_.database, "MariaDB Unicode", server_.Options()};
}

bool ExecSql(TODBC& db, const std::string& sql, std::string* error) {
  TODBCStatement st(db);
  if (st.Exec(sql)) return true;
  if (error) *error = st.ErrorText();
  return false;
}

bool ExecAll(TODBC& db, const std::vector<std::string>& sqls) {
  for (const auto& sql : sqls) {
    std::string error;
    if (!ExecSql(db, sql, &error)) {
      ADD_FAILURE() << sql.substr(0, 200) << (sql.size() > 200 ? "...: " : ": ") << error;
      return false;
    }
  }
  return true;
}

std::string QueryText(TODBC& db, const std::string& sql) {
  TODBCStatement st(db);
  return st.Exec(sql) && st.ColumnCount() > 0 ? st.ColumnText(0) : std::string();
}

void TDbTest::SetUp() {
  std::string error;
  database_ = TTestDatabase::Create(GetParam(), error);
  ASSERT_TRUE(database_) << error;
  db = Connect(false);
}

void TDbTest::TearDown() {
  db.reset();
  database_.reset();
}

std::unique_ptr<TODBC> TDbTest::Connect(bool manualCommit) {
  auto c = std::make_unique<TODBC>();
  EXPECT_TRUE(Params().Connect(*c, manualCommit)) << c->LastError();
  return c;
}

std::string TestDriverName(const ::testing::TestParamInfo<TTestDriver>& info) {
  return info.param == TTestDriver::kSqlite ? "SQLite" : "MariaDB";
}

}  // namespace fw::test

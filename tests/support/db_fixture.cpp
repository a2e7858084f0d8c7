#include "tests/support/db_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
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

const char* SchemaName(TTestDriver driver) {
  switch (driver) {
    case TTestDriver::kSqlite:
      return "sqlite";
    case TTestDriver::kMariaDb:
      return "mysql";
    case TTestDriver::kPostgres:
      return "postgres";
  }
  return "";
}

const char* DateTimeType(TTestDriver driver) {
  return driver == TTestDriver::kPostgres ? "TIMESTAMP(0)" : "DATETIME";
}

const char* OdbcDriverName(TTestDriver driver) {
  switch (driver) {
    case TTestDriver::kSqlite:
      return "SQLite3";
    case TTestDriver::kMariaDb:
      return "MariaDB Unicode";
    case TTestDriver::kPostgres:
      return "PostgreSQL Unicode";
  }
  return "";
}

std::vector<TNamedServer> ServersFromEnv() {
  std::vector<TNamedServer> servers;
  for (const auto& [name, driver] : {std::pair{"MariaDB", TTestDriver::kMariaDb},
                                     std::pair{"Postgres", TTestDriver::kPostgres}}) {
    TNamedServer named{name, driver, {}};
    std::string missing;
    if (DbServerFromEnv(driver, named.server, missing)) {
      servers.push_back(std::move(named));
    } else {
      std::printf("%s left out: %s not set\n", name, missing.c_str());
    }
  }
  return servers;
}

bool DbServerFromEnv(TTestDriver driver, TDbServer& server, std::string& missing) {
  const std::string prefix = driver == TTestDriver::kPostgres ? "FENWOLD_TEST_POSTGRES_"
                                                              : "FENWOLD_TEST_MARIADB_";
  struct {
    const char* name;
    std::string* value;
  } vars[] = {{"HOST", &server.host},         {"PORT", &server.port},
              {"SOCKET", &server.socket},     {"USER", &server.user},
              {"PASSWORD", &server.password}, {"DATABASE", &server.database}};
  missing.clear();
  for (auto& v : vars) {
    // PostgreSQL is reached over TCP only.
    if (driver == TTestDriver::kPostgres && v.value == &server.socket) continue;
    *v.value = Env((prefix + v.name).c_str());
    if (v.value->empty()) missing += (missing.empty() ? "" : ", ") + prefix + v.name;
  }
  return missing.empty();
}

std::unique_ptr<TTestDatabase> TTestDatabase::Create(TTestDriver driver, std::string& error) {
  std::unique_ptr<TTestDatabase> t(new TTestDatabase());
  t->driver_ = driver;
  if (driver == TTestDriver::kSqlite) {
    t->params_.driver = OdbcDriverName(driver);
    t->params_.database = DriverPath(t->scratch_.File("test.db"));
    return t;
  }
  const char* label = driver == TTestDriver::kPostgres ? "PostgreSQL" : "MariaDB";
  std::string missing;
  if (!DbServerFromEnv(driver, t->server_, missing)) {
    error = std::string(label) + " test server details missing: " + missing +
            " (scripts/test.sh starts a server and sets them)";
    return nullptr;
  }
  const TDbServer& s = t->server_;
  t->params_ = {"", s.user, s.password, s.database, OdbcDriverName(driver), s.Options()};
  TODBC admin;
  if (!t->params_.Connect(admin, false)) {
    error = std::string("cannot reach the ") + label + " test server: " + admin.LastError();
    return nullptr;
  }
  const std::string name = "fw_" + UniqueSuffix();
  if (!ExecSql(admin, "CREATE DATABASE " + name, &error)) return nullptr;
  t->params_.database = name;
  return t;
}

TTestDatabase::~TTestDatabase() {
  if (driver_ != TTestDriver::kSqlite && params_.database != server_.database) {
    TDbParams p = params_;
    p.database = server_.database;
    TODBC admin;
    // A test may leave a connection behind on PostgreSQL, which then refuses a plain DROP.
    const char* force = driver_ == TTestDriver::kPostgres ? " WITH (FORCE)" : "";
    if (p.Connect(admin, false)) {
      ExecSql(admin, "DROP DATABASE IF EXISTS " + params_.database + force);
    }
  }
}

TPrivateServer::~TPrivateServer() {
  Stop();
}

bool TPrivateServer::Run(const std::string& command, std::string& error) {
  const char* script = driver_ == TTestDriver::kPostgres ? "postgres.sh" : "mariadb.sh";
  const std::string line = "bash '" + sourceDir_ + "/scripts/" + script + "' " + command + " '" +
                           dir_.File("server") + "' >'" + dir_.File("script.log") + "' 2>&1";
  if (std::system(line.c_str()) == 0) return true;
  error = std::string("scripts/") + script + " " + command +
          " failed: " + ReadFileBytes(dir_.File("script.log"));
  return false;
}

bool TPrivateServer::Start(std::string& error) {
  if (driver_ == TTestDriver::kSqlite) {
    error = "SQLite has no server";
    return false;
  }
  if (!Run("start", error)) return false;
  started_ = true;
  const std::string prefix = driver_ == TTestDriver::kPostgres ? "export FENWOLD_TEST_POSTGRES_"
                                                               : "export FENWOLD_TEST_MARIADB_";
  std::ifstream env(dir_.File("server/env"));
  std::string line;
  while (std::getline(env, line)) {
    const auto value = [&](const char* key) -> const char* {
      const std::string start = prefix + key + "=";
      return line.rfind(start, 0) == 0 ? line.c_str() + start.size() : nullptr;
    };
    if (const char* v = value("HOST")) server_.host = v;
    if (const char* v = value("PORT")) server_.port = v;
    if (const char* v = value("SOCKET")) server_.socket = v;
    if (const char* v = value("USER")) server_.user = v;
    if (const char* v = value("PASSWORD")) server_.password = v;
    if (const char* v = value("DATABASE")) server_.database = v;
  }
  if (server_.port.empty()) {
    error = "the server's details are missing from " + dir_.File("server/env");
    return false;
  }
  return true;
}

int TPrivateServer::Pid() const {
  std::ifstream file(dir_.File("server/pid"));
  int pid = 0;
  file >> pid;
  return ProcessAlive(pid) ? pid : 0;
}

bool TPrivateServer::Kill() {
  const int pid = Pid();
  return pid != 0 && KillProcessTree(pid);
}

bool TPrivateServer::Restart(std::string& error) {
  return Run("restart", error);
}

void TPrivateServer::Stop() {
  std::string ignored;
  if (started_) Run("stop", ignored);
}

TDbParams TPrivateServer::Params() const {
  return {"",        server_.user,          server_.password, server_.database,
          OdbcDriverName(driver_), server_.Options()};
}

bool WaitSessionGone(TODBC& admin, TTestDriver driver, const std::string& id) {
  const std::string sql =
      driver == TTestDriver::kPostgres
          ? "SELECT COUNT(*) FROM pg_stat_activity WHERE pid = " + id
          : "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id;
  for (int i = 0; i < 400; ++i) {
    if (QueryText(admin, sql) == "0") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
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
  switch (info.param) {
    case TTestDriver::kSqlite:
      return "SQLite";
    case TTestDriver::kMariaDb:
      return "MariaDB";
    case TTestDriver::kPostgres:
      return "PostgreSQL";
  }
  return "";
}

}  // namespace fw::test

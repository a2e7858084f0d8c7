// Database fixtures shared by the test suites: a fresh database per test on SQLite3 ODBC (a
// temporary file), on the MariaDB test server (FENWOLD_TEST_MARIADB_*) or on the PostgreSQL
// test server (FENWOLD_TEST_POSTGRES_*), and a parameterised fixture that runs the same test
// body on all three.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "tests/support/temp_dir.h"

namespace fw::test {

enum class TTestDriver { kSqlite, kMariaDb, kPostgres };

// "sqlite", "mysql" or "postgres": the name of the driver's card schema.
const char* SchemaName(TTestDriver driver);

// What TODBC::Connect takes, in its order (manual commit apart).
struct TDbParams {
  std::string dataSource;
  std::string user;
  std::string password;
  std::string database;
  std::string driver;
  std::string options;

  // Connects; afterwards the drivers the driver manager loaded stay mapped for the rest of
  // the process (see PinLoadedOdbcDrivers).
  bool Connect(TODBC& db, bool manualCommit) const;
};

// Keeps every ODBC driver library now loaded mapped until the process ends. The driver
// manager unloads a driver with its last connection, and the few bytes a driver keeps in its
// globals (or loses) would then show up as leaks of an unknown module in sanitizer runs.
void PinLoadedOdbcDrivers();

// A test server (MariaDB or PostgreSQL) and the test user's login to it.
struct TDbServer {
  std::string host, port, socket, user, password, database;
  // Options that reach the server over TCP (both drivers know SERVER and PORT).
  std::string Options() const { return "SERVER=" + host + ";PORT=" + port; }
};
using TMariaDbServer = TDbServer;
// The test server of `driver` from FENWOLD_TEST_MARIADB_* (HOST, PORT, SOCKET, USER,
// PASSWORD, DATABASE) or FENWOLD_TEST_POSTGRES_* (the same bar SOCKET). False, with the
// names of the missing variables in `missing`, when any is unset.
bool DbServerFromEnv(TTestDriver driver, TDbServer& server, std::string& missing);
inline bool MariaDbServerFromEnv(TDbServer& server, std::string& missing) {
  return DbServerFromEnv(TTestDriver::kMariaDb, server, missing);
}
// The MariaDB and PostgreSQL servers the environment names, in that order, for benchmarks;
// a line on stdout for each one left out and why.
struct TNamedServer {
  const char* name;  // "MariaDB", "Postgres"
  TTestDriver driver;
  TDbServer server;
};
std::vector<TNamedServer> ServersFromEnv();
// The column type of a date and time with seconds: DATETIME, or TIMESTAMP(0) on PostgreSQL.
const char* DateTimeType(TTestDriver driver);
// The name under which Debian registers the driver.
const char* OdbcDriverName(TTestDriver driver);

// One fresh, empty database, removed again by the destructor, with a scratch folder of its
// own (for the SQLite file, data source files, card files...).
class TTestDatabase {
 public:
  // nullptr with the reason in `error` (server details missing, server unreachable...).
  static std::unique_ptr<TTestDatabase> Create(TTestDriver driver, std::string& error);
  ~TTestDatabase();
  TTestDatabase(const TTestDatabase&) = delete;
  TTestDatabase& operator=(const TTestDatabase&) = delete;

  TTestDriver Driver() const { return driver_; }
  const TDbParams& Params() const { return params_; }
  const std::string& ScratchDir() const { return scratch_.Path(); }
  // The server (empty for SQLite).
  const TDbServer& Server() const { return server_; }

 private:
  TTestDatabase() = default;
  TTestDriver driver_ = TTestDriver::kSqlite;
  TDbParams params_;
  TDbServer server_;
  TTempDir scratch_;
};

// A server of the test's own (scripts/mariadb.sh or scripts/postgres.sh), for cases that
// kill or restart it.
class TPrivateServer {
 public:
  TPrivateServer(TTestDriver driver, std::string sourceDir)
      : driver_(driver), sourceDir_(std::move(sourceDir)) {}
  ~TPrivateServer();
  TPrivateServer(const TPrivateServer&) = delete;
  TPrivateServer& operator=(const TPrivateServer&) = delete;

  bool Start(std::string& error);    // a fresh server with an empty database
  // SIGKILL of the server and every process of it (PostgreSQL's postmaster and its
  // children); true once all of them are gone.
  bool Kill();
  bool Restart(std::string& error);  // the same data and port again
  void Stop();
  int Pid() const;  // the main server process; 0 when not running

  TTestDriver Driver() const { return driver_; }
  const TDbServer& Server() const { return server_; }
  // Reaches the server's database over TCP as the test user.
  TDbParams Params() const;

 private:
  bool Run(const std::string& command, std::string& error);
  TTestDriver driver_;
  std::string sourceDir_;
  TTempDir dir_;
  bool started_ = false;
  TDbServer server_;
};

class TPrivateMariaDb : public TPrivateServer {
 public:
  explicit TPrivateMariaDb(std::string sourceDir)
      : TPrivateServer(TTestDriver::kMariaDb, std::move(sourceDir)) {}
};

// Waits until the server no longer lists the session `id` (MariaDB's CONNECTION_ID(),
// PostgreSQL's pg_backend_pid()) that `admin` killed; a kill takes effect asynchronously.
bool WaitSessionGone(TODBC& admin, TTestDriver driver, const std::string& id);

// Runs SQL on its own statement; false with the statement's ErrorText in `error`.
bool ExecSql(TODBC& db, const std::string& sql, std::string* error = nullptr);
// Each statement in turn; stops at the first failure (ADD_FAILURE with the text).
bool ExecAll(TODBC& db, const std::vector<std::string>& sqls);
// The first column of the first row as text; empty when there is no row.
std::string QueryText(TODBC& db, const std::string& sql);

// Parameterised on the driver: a fresh database and `db`, an auto-commit connection to it.
// A server case without server details fails, it is never skipped.
class TDbTest : public ::testing::TestWithParam<TTestDriver> {
 protected:
  void SetUp() override;
  void TearDown() override;

  TTestDriver Driver() const { return GetParam(); }
  bool IsSqlite() const { return GetParam() == TTestDriver::kSqlite; }
  const TDbParams& Params() const { return database_->Params(); }
  const std::string& ScratchDir() const { return database_->ScratchDir(); }
  // Another connection to the same database, connected or failing the test.
  std::unique_ptr<TODBC> Connect(bool manualCommit);

  std::unique_ptr<TTestDatabase> database_;
  std::unique_ptr<TODBC> db;
};

std::string TestDriverName(const ::testing::TestParamInfo<TTestDriver>& info);

}  // namespace fw::test

// Runs every TEST_P of `fixture` (parameterised on TTestDriver) on SQLite3 ODBC, MariaDB and
// PostgreSQL.
#define FW_ON_EVERY_DRIVER(fixture)                                                    \
  INSTANTIATE_TEST_SUITE_P(Drivers, fixture,                                           \
                           ::testing::Values(::fw::test::TTestDriver::kSqlite,         \
                                             ::fw::test::TTestDriver::kMariaDb,        \
                                             ::fw::test::TTestDriver::kPostgres),      \
                           ::fw::test::TestDriverName)

// Database fixtures shared by the test suites: a fresh database per test on SQLite3 ODBC (a
// temporary file) or on the MariaDB test server (FENWOLD_TEST_MARIADB_*), and a parameterised
// fixture that runs the same test body on both.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "tests/support/temp_dir.h"

namespace fw::test {

enum class TTestDriver { kSqlite, kMariaDb };

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

// The MariaDB test server from FENWOLD_TEST_MARIADB_HOST/PORT/SOCKET/USER/PASSWORD/DATABASE.
struct TMariaDbServer {
  std::string host, port, socket, user, password, database;
  // Options that reach the server over TCP.
  std::string Options() const { return "SERVER=" + host + ";PORT=" + port; }
};
// False, with the names of the missing variables in `missing`, when any is unset.
bool MariaDbServerFromEnv(TMariaDbServer& server, std::string& missing);

// One fresh, empty database, removed again by the destructor, with a scratch folder of its
// own (for the SQLite file, data source files, card files...).
class TTestDatabase {
 public:
  // nullptr with the reason in `error` (MariaDB details missing, server unreachable...).
  static std::unique_ptr<TTestDatabase> Create(TTestDriver driver, std::string& error);
  ~TTestDatabase();
  TTestDatabase(const TTestDatabase&) = delete;
  TTestDatabase& operator=(const TTestDatabase&) = delete;

  TTestDriver Driver() const { return driver_; }
  const TDbParams& Params() const { return params_; }
  const std::string& ScratchDir() const { return scratch_.Path(); }
  // The MariaDB server (empty for SQLite).
  const TMariaDbServer& Server() const { return server_; }

 private:
  TTestDatabase() = default;
  TTestDriver driver_ = TTestDriver::kSqlite;
  TDbParams params_;
  TMariaDbServer server_;
  TTempDir scratch_;
};

// A MariaDB server of the test's own (scripts/mariadb.sh), for cases that kill or restart it.
class TPrivateMariaDb {
 public:
  explicit TPrivateMariaDb(std::string sourceDir) : sourceDir_(std::move(sourceDir)) {}
  ~TPrivateMariaDb();
  TPrivateMariaDb(const TPrivateMariaDb&) = delete;
  TPrivateMariaDb& operator=(const TPrivateMariaDb&) = delete;

  bool Start(std::string& error);    // a fresh server with an empty database
  bool Kill();                       // SIGKILL; true once the process is gone
  bool Restart(std::string& error);  // the same data and port again
  void Stop();
  int Pid() const;  // 0 when not running

  const TMariaDbServer& Server() const { return server_; }
  // Reaches the server's database over TCP as the test user.
  TDbParams Params() const;

 private:
  bool Run(const std::string& command, std::string& error);
  std::string sourceDir_;
  TTempDir dir_;
  bool started_ = false;
  TMariaDbServer server_;
};

// Runs SQL on its own statement; false with the statement's ErrorText in `error`.
bool ExecSql(TODBC& db, const std::string& sql, std::string* error = nullptr);
// Each statement in turn; stops at the first failure (ADD_FAILURE with the text).
bool ExecAll(TODBC& db, const std::vector<std::string>& sqls);
// The first column of the first row as text; empty when there is no row.
std::string QueryText(TODBC& db, const std::string& sql);

// Parameterised on the driver: a fresh database and `db`, an auto-commit connection to it.
// A MariaDB case without server details fails, it is never skipped.
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

// Runs every TEST_P of `fixture` on SQLite3 ODBC and on MariaDB.
#define FW_ON_BOTH_DRIVERS(fixture)                                                           \
  INSTANTIATE_TEST_SUITE_P(                                                                   \
      Drivers, fixture,                                                                       \
      ::testing::Values(::fw::test::TTestDriver::kSqlite, ::fw::test::TTestDriver::kMariaDb), \
      ::fw::test::TestDriverName)

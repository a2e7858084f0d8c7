// A card database with the card tables, the two connections of the service, a drop folder with
// its two result folders, a message log and a settable clock: everything card intake runs on.
// SQLite gets a fresh database file per test, the servers a fresh database per test (so that
// tests may run in parallel against the one test server).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "intake/card_intake.h"
#include "log/messlog.h"
#include "platform/datetime.h"
#include "tests/support/db_fixture.h"
#include "tests/support/file_holder.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/temp_dir.h"

namespace fw::test {

// The intake suites run on the same drivers as the database fixtures (FW_ON_EVERY_DRIVER).
using TTestDb = TTestDriver;
inline constexpr TTestDb tdSqlite = TTestDriver::kSqlite;
inline constexpr TTestDb tdMariaDb = TTestDriver::kMariaDb;
inline constexpr TTestDb tdPostgres = TTestDriver::kPostgres;
// For test names of suites instantiated by hand.
inline std::string TestDbName(TTestDb db) {
  return TestDriverName(::testing::TestParamInfo<TTestDriver>(db, 0));
}

using TRow = std::map<std::string, std::string>;  // lower-case column name -> text

class TIntakeEnv {
 public:
  // Fails the current test (never skips) when the database cannot be reached; `Ok()` tells.
  // `serverOptions` is added to the connection string of a server (session settings).
  explicit TIntakeEnv(TTestDb db, const std::string& sqliteOptions = "JournalMode=WAL",
                      const std::string& serverOptions = "");
  ~TIntakeEnv();

  bool Ok() const { return ok_; }
  TTestDb Db() const { return db_; }

  // Connection details of the test database (on SQLite with `sqliteOptions`).
  const TDbParams& Args() const { return args_; }
  bool Connect(TODBC& db, bool manualCommit) const { return args_.Connect(db, manualCommit); }

  // Runs a statement on the main connection; fails the test when it does not run.
  void Exec(const std::string& sql);
  std::vector<TRow> Query(const std::string& sql);
  std::string Scalar(const std::string& sql);  // first column of the first row

  // Settings row naming the three folders (an empty text leaves that setting empty).
  void SetFolders(const std::string& drop, const std::string& done, const std::string& errors);
  void SetFolders() { SetFolders(drop, done, errors); }
  // Writes a file into the drop folder; returns its path.
  std::string Drop(const std::string& name, const std::string& contents);
  // Adds a card type; returns its id.
  int AddCardType(const std::string& name, bool monthly, bool debit, bool globalExpiry = false);

  std::string LogText() const;                  // everything written to the log so far
  int LogCount(const std::string& text) const;  // lines containing `text`

  TCardIntake& Intake() { return *intake_; }

  TTempDir dir;
  std::string drop, done, errors;
  TFixedClock clock{At(2024, 5, 15, 12)};  // noon, 15 May 2024
  std::unique_ptr<TMessLog> log;
  TODBC mainDb;
  TODBC stagingDb;

 private:
  TTestDb db_;
  bool ok_ = false;
  std::unique_ptr<TTestDatabase> database_;
  TDbParams args_;
  std::unique_ptr<TCardIntake> intake_;
};

}  // namespace fw::test

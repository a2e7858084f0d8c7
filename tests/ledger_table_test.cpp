// The card_file ledger on a site that has only the five card tables: made at connect where the
// account may, named by check and status where it may not. Run through fenwoldctl, as an
// operator (or the service's connect) meets it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "intake/card_schema.h"
#include "intake/ledger_table.h"
#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/run_ctl.h"
#include "tests/support/service_setup.h"
#include "tests/support/temp_dir.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

constexpr char kCreated[] = "Created the card_file ledger";
constexpr char kCannot[] = "Warning! The card_file ledger is missing and cannot be created";

class LedgerTable : public TDbTest {
 protected:
  void SetUp() override {
    TDbTest::SetUp();
    folders_ = std::make_unique<TServiceFolders>(site_.Path());
    ASSERT_TRUE(PrepareCardDatabase(*db, Driver(), FENWOLD_SOURCE_DIR, *folders_));
    ASSERT_TRUE(ExecAll(*db, {"DROP TABLE card_file"}));
    registry_ = site_.File("registry.reg");
    WriteRegistryFile(registry_, Params());
  }
  void TearDown() override {
    for (const std::string& sql : cleanup_) ExecSql(*db, sql);
    TDbTest::TearDown();
  }

  TCtlRun Ctl(const std::string& args, const std::string& wrapper = "") const {
    return RunCtl("FENWOLD_REGISTRY='" + registry_ + "' FENWOLD_LOG_DIR='" + folders_->logs +
                      "/' " + wrapper,
                  args);
  }
  // Lines of the log that begin with `start`, leaving out each run's banner.
  long LogCount(const std::string& start) const {
    const std::vector<std::string> lines = LogLines(folders_->logs);
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      const std::string text = LogText(line);
      return text.rfind(start, 0) == 0 && text != "Start Log" && text != "End Log" &&
             line.rfind("....", 0) != 0;
    });
  }
  // Points the registry at an account that may read and write the card tables but not
  // create one; on SQLite (no accounts) the command runs with the database's folder mounted
  // read-only. Returns the wrapper the commands then run under.
  std::string AccountWithoutCreate() {
    TDbParams p = Params();
    const std::string user = "fwnc_" + std::to_string(::getpid());
    p.user = user;
    p.password = "fw-nc-pw";
    switch (Driver()) {
      case TTestDriver::kMariaDb:
        cleanup_.push_back("DROP USER '" + user + "'@'127.0.0.1'");
        EXPECT_TRUE(ExecAll(*db, {"CREATE USER '" + user + "'@'127.0.0.1' IDENTIFIED BY '" +
                                      p.password + "'",
                                  "GRANT SELECT, INSERT, UPDATE, DELETE ON " + p.database +
                                      ".* TO '" + user + "'@'127.0.0.1'"}));
        break;
      case TTestDriver::kPostgres:
        cleanup_.push_back("DROP OWNED BY " + user);
        cleanup_.push_back("DROP ROLE " + user);
        // Since PostgreSQL 15 only the owner may create in schema public.
        EXPECT_TRUE(ExecAll(
            *db, {"CREATE ROLE " + user + " LOGIN PASSWORD '" + p.password + "'",
                  "REVOKE CREATE ON SCHEMA public FROM PUBLIC",
                  "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA public TO " + user,
                  "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO " + user}));
        break;
      case TTestDriver::kSqlite:
        return "unshare -m --propagation private sh -c 'mount --bind \"$0\" \"$0\" && "
               "mount -o remount,bind,ro \"$0\" && exec \"$@\"' '" +
               ScratchDir() + "'";
    }
    WriteRegistryFile(registry_, p);
    return "";
  }

  TTempDir site_;
  std::unique_ptr<TServiceFolders> folders_;
  std::string registry_;
  std::vector<std::string> cleanup_;
};

TEST_P(LedgerTable, MadeAtTheFirstConnectWithItsKeyAndOnlyOnce) {
  TCtlRun run = Ctl("scan");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(LogCount(kCreated), 1);
  const std::string row =
      "INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
      "VALUES ('a.csv', 10, 20, '0123456789abcdef', '2026-12-01 10:00:00', 'staged')";
  EXPECT_TRUE(ExecSql(*db, row));
  EXPECT_FALSE(ExecSql(*db, row)) << "the unique key refuses a file staged twice";

  run = Ctl("scan");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(LogCount(""), 1) << "a second connect makes and says nothing";
  run = Ctl("check");
  for (const char* line : {"ok    table card_file (optional):", "ok    card_file unique identity:"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
}

// Where the account may not create tables, intake goes on without the ledger, and every tool
// says what is missing and how to make it.
TEST_P(LedgerTable, AnAccountThatMayNotCreateItIsWarnedAndShownTheStatements) {
  const std::string wrapper = AccountWithoutCreate();
  TCtlRun run = Ctl("scan", wrapper);
  EXPECT_NE(run.output.find(kCannot), std::string::npos) << run.output;
  EXPECT_EQ(LogCount(kCannot), 1);
  EXPECT_EQ(LogCount(kCreated), 0);
  EXPECT_EQ(FindLedgerTable(*db).state, lsMissing);

  run = Ctl("status", wrapper);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("Fenwold WARNING"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("  ! the card_file ledger is missing"), std::string::npos)
      << run.output;

  if (!IsSqlite()) {
    // The service warns at its start too, and stages without the ledger, as before it.
    TChildProcess service;
    ASSERT_TRUE(service.Start(FENWOLD_BINARY, {}, ServiceEnv(*folders_, registry_, 50),
                              site_.Path()));
    DropCardFile(*folders_, "new.csv", StaffCardLine(4711));
    EXPECT_TRUE(WaitUntil(
        [&] { return QueryText(*db, "SELECT last_name FROM card WHERE number = 4711") == "Okafor"; },
        30s))
        << service.Stderr();
    ASSERT_TRUE(service.Signal(SIGTERM));
    EXPECT_EQ(service.Wait(60s), std::optional<int>(0));
    EXPECT_EQ(LogCount(kCannot), 2);
    EXPECT_EQ(FilesIn(folders_->done).size(), 1u);
  }

  run = Ctl("check", wrapper);
  EXPECT_NE(run.output.find("WARN  table card_file (optional): missing"), std::string::npos)
      << run.output;
  const std::vector<std::string> statements =
      LedgerStatements(CardSchemaFor(SchemaName(Driver())));
  ASSERT_FALSE(statements.empty());
  for (const std::string& statement : statements) {
    const std::string firstLine = statement.substr(0, statement.find('\n'));
    EXPECT_NE(run.output.find("        " + firstLine), std::string::npos) << run.output;
  }
  // As printed, they work for an account that may.
  ASSERT_TRUE(ExecAll(*db, statements));
  run = Ctl("status", wrapper);
  EXPECT_EQ(run.output.find("! the card_file ledger"), std::string::npos) << run.output;
}

FW_ON_EVERY_DRIVER(LedgerTable);

}  // namespace
}  // namespace fw::test

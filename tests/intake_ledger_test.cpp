// Exactly once across restarts and instances: the ledger of staged files (card_file), the
// claim of staged records, files held until moved, and stop requests, on every driver.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "db/statement.h"
#include "intake/card_intake.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

const std::string kTopUp = "C,5001,DEBIT,Top-up,0800,20240101,1800,20261231,1\r\n";

class Ledger : public ::testing::TestWithParam<TTestDb> {
 protected:
  void SetUp() override {
    env_ = std::make_unique<TIntakeEnv>(GetParam());
    if (!env_->Ok()) GTEST_FAIL() << "no database";
    env_->SetFolders();
    const int debit = env_->AddCardType("DEBIT", false, true);
    env_->Exec("INSERT INTO card (number, type_id, debit_left) VALUES (5001, " +
               std::to_string(debit) + ", 0)");
  }
  TIntakeEnv& Env() { return *env_; }
  // A service started afresh: nothing remembered from the intake before.
  std::unique_ptr<TCardIntake> Restarted(const std::string& doneDir, bool ledger = true) {
    auto intake = std::make_unique<TCardIntake>(*Env().log, Env().mainDb, Env().stagingDb,
                                                Env().clock);
    intake->Ledger().SetPresent(ledger);
    intake->Folders.drop = Env().drop;
    intake->Folders.files = doneDir;
    intake->Folders.errors = Env().errors;
    return intake;
  }
  std::string Debit() { return Env().Scalar("SELECT debit_left FROM card WHERE number = 5001"); }

  std::unique_ptr<TIntakeEnv> env_;
};

// The process dies between the commit of a file's staging and its move (here the move fails
// and the next intake remembers nothing): the ledger keeps the file from being staged twice,
// unless it is another file under the same name, or there is no ledger.
TEST_P(Ledger, CommittedFileIsMovedNotStagedAgain) {
  struct TCase {
    const char* what;
    bool ledger;
    std::string secondText;  // what lies under the name at the restart
    TFileOutcome second;
    const char* debit;
  };
  const TCase cases[] = {
      {"same file", true, "", foMoveRetried, "1"},
      {"new content, same name", true, kTopUp + kTopUp, foStaged, "3"},
      {"no ledger: as before", false, "", foStaged, "2"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    if (!c.ledger) Env().Exec("DROP TABLE card_file");
    const std::string path = Env().Drop("topup.csv", kTopUp);
    {
      auto first = Restarted(Env().dir.File("missing"), c.ledger);
      EXPECT_EQ(first->ProcessCardFile(path), foStaged);
      EXPECT_EQ(first->ProcessFutureCards(), poDone);
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    if (!c.secondText.empty()) Env().Drop("topup.csv", c.secondText);
    auto second = Restarted(Env().done, c.ledger);
    EXPECT_EQ(second->ProcessCardFile(path), c.second);
    EXPECT_EQ(second->ProcessFutureCards(), poDone);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(Env().done + "/topup.csv"));
    EXPECT_EQ(Debit(), c.debit);
    EXPECT_EQ(Env().LogCount("Already staged " + path), c.second == foMoveRetried ? 1 : 0);
  }
}

TEST_P(Ledger, OldRowsArePruned) {
  const std::string path = Env().Drop("old.csv", kTopUp);
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foStaged);
  Env().Exec("INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
             "VALUES ('ancient.csv', 1, 1, '0000000000000000', {ts '2020-01-01 00:00:00'}, "
             "'staged')");
  EXPECT_TRUE(Env().Intake().PruneLedger(90));
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_file"), "1");
  EXPECT_EQ(Env().Scalar("SELECT name FROM card_file"), "old.csv");
}

// Two instances walk futurecard at once: the one whose claim (the delete of the row) comes
// second finds the record gone and leaves the card alone.
TEST_P(Ledger, RecordClaimedByAnotherPassIsNotAppliedAgain) {
  Env().Exec(
      "INSERT INTO futurecard (command, number, card_type, start_dt, add_value) "
      "VALUES ('C', 5001, 'DEBIT', {ts '2024-01-01 00:00:00'}, 1)");
  TODBC otherMain, otherStaging;
  ASSERT_TRUE(Env().Connect(otherMain, false) && Env().Connect(otherStaging, true));
  TCardIntake other(*Env().log, otherMain, otherStaging, Env().clock);
  TODBCStatement cursor(otherMain);
  ASSERT_TRUE(cursor.Exec("SELECT * FROM futurecard ORDER BY id"));  // read, not yet applied
  EXPECT_EQ(Env().Intake().ProcessFutureCards(), poDone);
  EXPECT_EQ(other.ApplyFutureCard(cursor), aoTaken);
  EXPECT_EQ(Debit(), "1");
}

// A file another process holds is left alone; one that vanished after the listing is skipped
// without a line; a stop between rows rolls the file back and leaves it where it is.
TEST_P(Ledger, HeldVanishedAndStoppedFiles) {
  const std::string path = Env().Drop("held.csv", kTopUp);
  {
    THeldFile holder;
    ASSERT_EQ(holder.Hold(path), hrHeld);
    EXPECT_EQ(Env().Intake().ProcessCardFile(path), foHeld);
  }
  EXPECT_EQ(Env().Intake().ProcessCardFile(Env().drop + "/gone.csv"), foVanished);
  std::atomic<bool> stop{true};
  Env().Intake().SetStopFlag(&stop);
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foStopped);
  Env().Exec(
      "INSERT INTO futurecard (command, number, card_type, start_dt, add_value) "
      "VALUES ('C', 5001, 'DEBIT', {ts '2024-01-01 00:00:00'}, 1)");
  EXPECT_EQ(Env().Intake().ProcessFutureCards(), poStopped);
  EXPECT_TRUE(Env().Intake().PassOwed());
  stop = false;
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foStaged);
  EXPECT_EQ(Env().Intake().ProcessFutureCards(), poDone);
  EXPECT_FALSE(Env().Intake().PassOwed());
  EXPECT_EQ(Debit(), "2");
  EXPECT_EQ(Env().LogCount("gone.csv"), 0);
  EXPECT_EQ(Env().LogCount("Failed to exclusively open " + path), 1);
  EXPECT_EQ(Env().LogCount("Stop requested while staging " + path), 1);
}

// Another server (here a bare connection) has claimed the file in its staging transaction
// and not yet ended it: the claim of ours waits on the key, then finds the file staged when
// the other commits, or stages it itself when the other rolls back. Neither counts a reject.
TEST_P(Ledger, ClaimWaitsForAnotherServerStagingTheSameFile) {
  for (const bool otherCommits : {true, false}) {
    SCOPED_TRACE(otherCommits ? "the other commits" : "the other rolls back");
    SetUp();
    const std::string path = Env().Drop("race.csv", kTopUp);
    TFileStamp stamp;
    ASSERT_TRUE(GetFileStamp(path, stamp));
    TODBC other;
    ASSERT_TRUE(Env().Connect(other, true));
    ASSERT_TRUE(ExecSql(other, "INSERT INTO card_file (name, file_size, modified, content_hash, "
                               "staged_at, outcome) VALUES ('race.csv', " +
                                   std::to_string(stamp.size) + ", " +
                                   std::to_string(stamp.modified) + ", '" + ContentHash(kTopUp) +
                                   "', {ts '2024-05-15 12:00:00'}, 'staged')"));
    TFileOutcome outcome = foLoadFailed;
    Env().Intake().Folders.files = Env().done;
    Env().Intake().Folders.errors = Env().errors;
    std::thread server([&] { outcome = Env().Intake().ProcessCardFile(path); });
    // SQLite's single writer shows no wait to look for; the outcome is the same either way.
    const char* waiting =
        GetParam() == tdMariaDb
            ? "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = DATABASE() AND "
              "INFO LIKE 'INSERT INTO card_file%'"
            : "SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database() AND "
              "wait_event_type = 'Lock'";
    if (GetParam() != tdSqlite) {
      TODBC watcher;  // the intake's own connections are busy in its thread
      ASSERT_TRUE(Env().Connect(watcher, false));
      EXPECT_TRUE(WaitUntil([&] { return QueryText(watcher, waiting) == "1"; }, 30s));
    }
    ASSERT_TRUE(other.EndTrans(otherCommits));
    server.join();
    EXPECT_EQ(outcome, otherCommits ? foMoveRetried : foStaged);
    EXPECT_EQ(Env().Intake().ProcessFutureCards(), poDone);
    EXPECT_EQ(Debit(), otherCommits ? "0" : "1");
    EXPECT_EQ(Env().LogCount("Already staged " + path), otherCommits ? 1 : 0);
    EXPECT_EQ(Env().Intake().Tally.rejected, 0u);
    EXPECT_TRUE(std::filesystem::exists(Env().done + "/race.csv"));
    EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_file"), "1");
  }
}

// A producer still writing the file (its modification time moves) keeps it in the drop
// folder for as long as it writes; the first scan after it stopped stages it.
TEST_P(Ledger, SettleTimeLeavesAFileThatIsStillBeingWritten) {
  const std::string path = Env().Drop("growing.csv", kTopUp);
  Env().Intake().SetSettleMs(150);
  std::atomic<bool> writing{true};
  std::thread producer([&] {
    while (writing) {
      std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now());
      std::this_thread::sleep_for(5ms);
    }
  });
  EXPECT_TRUE(Env().Intake().ScanCardFiles());
  writing = false;
  producer.join();
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(Env().LogCount("Still being written: " + path), 1);
  EXPECT_EQ(Env().Intake().ProcessFutureCards(), poDone);
  EXPECT_EQ(Debit(), "0");
  EXPECT_TRUE(Env().Intake().ScanCardFiles());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(Debit(), "1");
}

FW_ON_EVERY_DRIVER(Ledger);

// Another writer holds SQLite's one write lock for longer than the driver waits: the staging
// fails with "database is locked" at its first write (the claim, or with no ledger a card
// row), which is no fault of the file. It stays in the drop folder, unreported, and the
// first scan after the lock is gone stages it.
TEST(LedgerLocked, AFileMeetingALockedDatabaseWaitsForTheNextScan) {
  for (const bool ledger : {true, false}) {
    SCOPED_TRACE(ledger ? "ledger" : "no ledger");
    TIntakeEnv env(tdSqlite, "JournalMode=WAL;Timeout=100");
    ASSERT_TRUE(env.Ok());
    env.SetFolders();
    const int debit = env.AddCardType("DEBIT", false, true);
    env.Exec("INSERT INTO card (number, type_id, debit_left) VALUES (5001, " +
             std::to_string(debit) + ", 0)");
    if (!ledger) {
      env.Exec("DROP TABLE card_file");
      env.Intake().Ledger().SetPresent(false);
    }
    const std::string path = env.Drop("locked.csv", kTopUp);
    {
      TODBC other;
      ASSERT_TRUE(env.Connect(other, true));
      ASSERT_TRUE(ExecSql(other, "INSERT INTO card_pool (name, max_inlot, cur_inlot) "
                                 "VALUES ('Lock holder', 1, 0)"));
      EXPECT_EQ(env.Intake().ProcessCardFile(path), foLoadFailed);
      EXPECT_TRUE(std::filesystem::exists(path));
      EXPECT_EQ(env.LogCount("will retry later"), 1);
      ASSERT_TRUE(other.EndTrans(false));
    }
    EXPECT_EQ(env.Intake().Tally.rejected, 0u);
    EXPECT_TRUE(std::filesystem::is_empty(env.errors)) << "no report, nothing rejected";
    EXPECT_EQ(env.Intake().ProcessCardFile(path), foStaged);
    EXPECT_EQ(env.Intake().ProcessFutureCards(), poDone);
    EXPECT_EQ(env.Scalar("SELECT debit_left FROM card WHERE number = 5001"), "1");
  }
}

}  // namespace
}  // namespace fw::test

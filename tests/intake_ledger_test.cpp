// Exactly once across restarts and instances: the ledger of staged files (card_file), the
// claim of staged records, files held until moved, and stop requests, on every driver.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "db/statement.h"
#include "intake/card_intake.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

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
  std::unique_ptr<TCardIntake> Restarted(const std::string& doneDir) {
    auto intake = std::make_unique<TCardIntake>(*Env().log, Env().mainDb, Env().stagingDb,
                                                Env().clock);
    intake->Folders.audits = Env().drop;
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
      auto first = Restarted(Env().dir.File("missing"));
      EXPECT_EQ(first->ProcessCardFile(path), foStaged);
      EXPECT_EQ(first->ProcessFutureCards(), poDone);
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    if (!c.secondText.empty()) Env().Drop("topup.csv", c.secondText);
    auto second = Restarted(Env().done);
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

FW_ON_EVERY_DRIVER(Ledger);

}  // namespace
}  // namespace fw::test

// A database connection that goes away is not a bad card file. On the two servers: a connection
// is killed from another session of the same test server, which is how a server restart looks
// to the client.
#include <gtest/gtest.h>

#include "db/statement.h"
#include "intake/card_intake.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

class ConnectionLoss : public ::testing::TestWithParam<TTestDb> {
 protected:
  void SetUp() override {
    env_ = std::make_unique<TIntakeEnv>(GetParam());
    if (!env_->Ok()) GTEST_FAIL() << "no database";
    env_->SetFolders();
    ASSERT_TRUE(env_->Connect(admin_, false));
    Env().Intake().Folders.drop = Env().drop;
    Env().Intake().Folders.files = Env().done;
    Env().Intake().Folders.errors = Env().errors;
  }
  TIntakeEnv& Env() { return *env_; }

  // Kills the session of `db` and waits until the server has let it go: the kill takes
  // effect asynchronously, and a statement run before that would still succeed.
  void Kill(TODBC& db, bool manualCommit) {
    const bool postgres = GetParam() == tdPostgres;
    std::string id;
    {
      TODBCStatement statement(db);
      ASSERT_TRUE(statement.Exec(postgres ? "SELECT pg_backend_pid() AS cid"
                                          : "SELECT CONNECTION_ID() AS cid"));
      id = statement.FieldAsString("cid");
    }
    if (manualCommit) db.EndTrans(false);
    TODBCStatement kill(admin_);
    ASSERT_TRUE(kill.Exec(postgres ? "SELECT pg_terminate_backend(" + id + ")"
                                   : "KILL CONNECTION " + id))
        << kill.ErrorText();
    ASSERT_TRUE(WaitSessionGone(admin_, GetParam(), id));
  }
  std::string Count(const std::string& table) {
    TODBCStatement statement(admin_);
    statement.Exec("SELECT COUNT(*) AS n FROM " + table);
    return statement.FieldAsString("n");
  }

  std::unique_ptr<TIntakeEnv> env_;
  TODBC admin_;
};

TEST_P(ConnectionLoss, WhileStagingTheFileStaysAndIsStagedAfterReconnecting) {
  const std::string path = Env().Drop("a.csv", "Group,3\nA,1,T\nA,2,T\n");
  Kill(Env().stagingDb, true);
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foConnectionLost);
  EXPECT_TRUE(FileExistsAt(path));
  EXPECT_EQ(
      Env().LogCount("Lost the database connection while staging " + path + ", will retry later"),
      1);
  EXPECT_EQ(Env().LogCount("Error \""), 0) << "no SQL error line for a lost connection";
  EXPECT_EQ(Count("futurecard"), "0");
  EXPECT_TRUE(Env().stagingDb.LostConnection());

  Env().stagingDb.Disconnect();
  ASSERT_TRUE(Env().Connect(Env().stagingDb, true));
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foStaged);
  EXPECT_EQ(Count("futurecard"), "2");
  EXPECT_EQ(Count("card_pool"), "1");
}

TEST_P(ConnectionLoss, ScanStopsAtALostStagingConnection) {
  Env().Drop("a.csv", "A,1,T\n");
  Env().Drop("b.csv", "A,2,T\n");
  Kill(Env().stagingDb, true);
  EXPECT_FALSE(Env().Intake().ScanCardFiles());
  EXPECT_TRUE(FileExistsAt(Env().drop + "/a.csv"));
  EXPECT_TRUE(FileExistsAt(Env().drop + "/b.csv"));
  EXPECT_EQ(Env().LogCount("Lost the database connection while staging "), 1);
}

// Without the ledger (card_file) nobody can tell later whether a commit happened; a connection
// found lost before the COMMIT went out leaves no doubt, and the file waits for the next scan.
TEST_P(ConnectionLoss, ALossBeforeTheCommitKeepsTheFileWithoutTheLedger) {
  Env().Exec("DROP TABLE card_file");
  Env().Intake().Ledger().SetPresent(false);
  const std::string path = Env().Drop("a.csv", "");
  Kill(Env().stagingDb, true);
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foConnectionLost);
  EXPECT_TRUE(FileExistsAt(path));
  EXPECT_EQ(Env().LogCount("Commit outcome unknown for " + path), 0);

  Env().stagingDb.Disconnect();
  ASSERT_TRUE(Env().Connect(Env().stagingDb, true));
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foStaged);
  EXPECT_TRUE(FileExistsAt(Env().done + "/a.csv"));
}

// The session ends inside COMMIT: a deferred trigger on the ledger terminates it there. Only
// PostgreSQL runs a trigger at COMMIT.
using CommitLoss = ConnectionLoss;

void EndSessionAtCommit(TIntakeEnv& env, const std::string& table) {
  env.Exec(
      "CREATE FUNCTION fw_end_session() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
      "PERFORM pg_terminate_backend(pg_backend_pid()); PERFORM pg_sleep(5); RETURN NULL; END $$");
  env.Exec("CREATE CONSTRAINT TRIGGER fw_end_session AFTER INSERT ON " + table +
           " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION fw_end_session()");
}

// Without the ledger nobody can tell later whether the commit happened: an operator looks.
TEST_P(CommitLoss, WithoutTheLedgerTheFileGoesToErrors) {
  Env().Exec("DROP TABLE card_file");
  Env().Intake().Ledger().SetPresent(false);
  EndSessionAtCommit(Env(), "futurecard");
  const std::string path = Env().Drop("a.csv", "A,1,T\n");
  EXPECT_EQ(Env().Intake().ProcessCardFile(path), foCommitUnknown);
  EXPECT_FALSE(FileExistsAt(path));
  EXPECT_TRUE(FileExistsAt(Env().errors + "/a.csv"));
  EXPECT_EQ(Env().LogCount("Commit outcome unknown for " + path), 1);
  EXPECT_EQ(Env().LogCount("Picked up"), 0);
}

TEST_P(CommitLoss, WithTheLedgerTheFileWaitsForTheNextScan) {
  EndSessionAtCommit(Env(), "card_file");
  const std::string path = Env().Drop("a.csv", "A,1,T\n");
  TCardIntake& intake = Env().Intake();
  EXPECT_FALSE(intake.ScanCardFiles());
  EXPECT_TRUE(FileExistsAt(path));
  EXPECT_EQ(Env().LogCount("Commit outcome unknown for " + path), 1);
  EXPECT_EQ(intake.Tally.rejected, 0) << "the file was not rejected: it waits for the ledger";
  EXPECT_EQ(intake.Tally.pickedUp, 0);

  // The server rolled it back: the ledger has no row, so the file is staged again, once.
  Env().Exec("DROP TRIGGER fw_end_session ON card_file");
  Env().stagingDb.Disconnect();
  ASSERT_TRUE(Env().Connect(Env().stagingDb, true));
  EXPECT_TRUE(intake.ScanCardFiles());
  EXPECT_TRUE(FileExistsAt(Env().done + "/a.csv"));
  EXPECT_EQ(Count("card_file"), "1");
  EXPECT_EQ(intake.Tally.pickedUp, 1);
  EXPECT_EQ(intake.Tally.rejected, 0);
}

TEST_P(ConnectionLoss, PassStopsAtALostConnection) {
  Env().Exec("INSERT INTO card_type (name) VALUES ('T')");
  Env().Exec("INSERT INTO futurecard (command, number, card_type) VALUES ('A', 1, 'T')");
  Kill(Env().mainDb, false);
  EXPECT_EQ(Env().Intake().ProcessFutureCards(), poConnectionLost);
  EXPECT_EQ(Count("futurecard"), "1");

  Env().mainDb.Disconnect();
  ASSERT_TRUE(Env().Connect(Env().mainDb, false));
  EXPECT_EQ(Env().Intake().ProcessFutureCards(), poDone);
  EXPECT_EQ(Count("futurecard"), "0");
  EXPECT_EQ(Count("card"), "1");
}

INSTANTIATE_TEST_SUITE_P(Servers, ConnectionLoss, ::testing::Values(tdMariaDb, tdPostgres),
                         TestDriverName);
INSTANTIATE_TEST_SUITE_P(Servers, CommitLoss, ::testing::Values(tdPostgres), TestDriverName);

}  // namespace
}  // namespace fw::test

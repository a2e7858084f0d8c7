// Every statement and commit of staging and of the future-card pass made to fail in turn, with
// every class of failure a driver reports (and a transaction the server ends without a word),
// on every driver, batched and per record: after the
// fault and a few fault-free scans and passes, every top-up is applied once, every new card
// exists once, nothing stays staged and every file lies where a fault-free run puts it.
//
// In-process (TCardIntake on the shim, armed through its C API): a child process per cell
// would cost a connect and an exec each, and thousands of cells must fit in minutes.
#include "tests/fault_matrix.h"

namespace fw::test {
namespace {

TEST_P(FaultMatrix, EveryStatementOfStagingAndPass) {
  const char* driver = SchemaName(GetParam());
  std::ostringstream table;
  table << std::left << std::setw(9) << "driver" << std::setw(9) << "mode" << std::setw(9)
        << "phase" << std::setw(13) << "class" << std::right << std::setw(7) << "tried"
        << std::setw(9) << "doubled" << std::setw(6) << "lost" << std::setw(7) << "wrong"
        << std::setw(6) << "left" << std::setw(10) << "misfiled\n";
  for (const bool batched : {true, false}) {
    const char* mode = batched ? "batched" : "per-row";
    baseline_[batched][""] = FaultFree(batched);
    for (const TFixtureFile& f : kFiles) baseline_[batched][f.name] = FaultFree(batched, f.name);
    {
      // The fixture must reach every path, or the matrix proves little.
      const TState& s = baseline_[batched][""];
      EXPECT_EQ(s.where.at("d-bad.csv"), "errors");
      EXPECT_EQ(s.where.at("b-topups.csv"), "done");
      EXPECT_EQ(s.cards.at("7201").substr(0, 3), "17|") << "two top-ups of one card";
      EXPECT_EQ(s.cards.at("7203").substr(0, 4), "900|") << "the cap refuses the top-up";
      EXPECT_EQ(s.cards.at("7101").find("|G1|") != std::string::npos, true) << s.cards.at("7101");
      EXPECT_EQ(s.pools.size(), 1u);
      EXPECT_EQ(s.staged, "0");
    }
    for (const TPhase phase : {phStaging, phPass}) {
      for (int cls = 0; cls < fcFaultClassCount; ++cls) {
        TTally tally;
        for (int k = 1;; ++k) {
          Reset(batched);
          DropAll();
          if (phase == phPass) StageEach();
          faults_.arm(k, cls);
          if (phase == phStaging) {
            StageEach();
          } else {
            intake_->ProcessFutureCards();
          }
          const bool fired = faults_.fired() != 0;
          faults_.disarm();
          if (!fired) break;  // k is past the last statement
          ++tally.tried;
          RunUntilQuiet();
          const std::string diff = Judge(Snapshot(), phase, cls, batched, tally);
          if (!diff.empty())
            ADD_FAILURE() << FaultClassName(cls) << " on " << driver << ", " << mode << ", "
                          << PhaseName(phase) << ", statement " << k << ":\n"
                          << diff;
        }
        EXPECT_GT(tally.tried, 0);
        table << std::left << std::setw(9) << driver << std::setw(9) << mode << std::setw(9)
              << PhaseName(phase) << std::setw(13) << FaultClassName(cls) << std::right
              << std::setw(7) << tally.tried << std::setw(9) << tally.doubled << std::setw(6)
              << tally.lost << std::setw(7) << tally.wrong << std::setw(6) << tally.left
              << std::setw(9) << tally.misfiled << "\n";
      }
    }
  }
  std::cout << table.str();
}

// The harness itself: each class reaches the database layer as that driver's failure, a
// server-side rollback really undoes the open work, and a lost connection stays lost until
// it is made again.
TEST_P(FaultMatrix, TheShimFailsAsTheDriverWould) {
  struct TCase {
    int cls;
    const char* state[3];  // SQLite, MariaDB, PostgreSQL
    bool tryAgain, lost, rolledBack;
  };
  const TCase cases[] = {
      {fcDeadlock, {"HY000", "40001", "40P01"}, true, false, false},
      {fcLockWait, {"HY000", "HY000", "55P03"}, true, false, false},
      {fcInterrupted, {"HY000", "70100", "57014"}, false, false, false},
      {fcRolledBack, {"HY000", "40001", "40P01"}, true, false, true},
      {fcLost, {"HY000", "08S01", "08S01"}, false, true, true},
      {fcReplyLost, {"HY000", "08S01", "08S01"}, false, true, true},
      {fcBadData, {"HY000", "22001", "22001"}, false, false, false},
  };
  const int d = static_cast<int>(GetParam());
  for (const TCase& c : cases) {
    SCOPED_TRACE(FaultClassName(c.cls));
    Reset(true);
    TODBCStatement work(Env().stagingDb);
    ASSERT_TRUE(work.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('P', 1, 0)"));
    faults_.arm(1, c.cls);
    EXPECT_FALSE(work.Exec("UPDATE card_pool SET cur_inlot = 1"));
    EXPECT_EQ(faults_.fired(), 1);
    EXPECT_NE(work.ErrorText().find(std::string("State:  ") + c.state[d]), std::string::npos)
        << work.ErrorText();
    if (c.cls != fcInterrupted) {
      EXPECT_EQ(work.TryAgain(), c.tryAgain) << work.ErrorText();
    }
    EXPECT_EQ(Env().stagingDb.LostConnection(), c.lost);
    if (c.lost) {
      EXPECT_TRUE(Env().stagingDb.ConnectionDead());
      TODBCStatement after(Env().stagingDb);
      EXPECT_FALSE(after.Exec("SELECT 1")) << "a lost connection never recovers by itself";
    }
    faults_.disarm();
    // The open work is gone (and SQLite's write lock with it) exactly when the class says so.
    EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_pool"), "0");
    ReconnectIfLost(lcAsTheServiceDoes);
    Env().stagingDb.EndTrans(true);
    EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_pool"), c.rolledBack ? "0" : "1");
  }
}

FW_ON_EVERY_DRIVER(FaultMatrix);

// A real server that rolls the whole transaction back when a lock wait times out (after one
// second), serializable: another session holds group G's row while ten top-ups of G's cards
// and one the card's cap refuses are scanned. Once it lets go, two passes: each top-up once.
TEST(StrictMariaDb, TopUpsOfALockedGroupAreAppliedOnce) {
  // TIntakeEnv reaches the MariaDB of FENWOLD_TEST_MARIADB_*: pointed at the strict server.
  const char* const names[] = {"HOST", "PORT", "SOCKET", "USER", "PASSWORD", "DATABASE"};
  std::map<std::string, std::string> saved;
  std::string missing;
  for (const char* n : names) {
    const std::string from = std::string("FENWOLD_TEST_MARIADB_STRICT_") + n;
    const std::string to = std::string("FENWOLD_TEST_MARIADB_") + n;
    const char* value = std::getenv(from.c_str());
    if (value == nullptr || *value == '\0') {
      missing += " " + from;
      continue;
    }
    if (const char* old = std::getenv(to.c_str())) saved[to] = old;
    setenv(to.c_str(), value, 1);
  }
  ASSERT_EQ(missing, "") << "the strict MariaDB test server is not set (scripts/test.sh starts it)";
  TIntakeEnv env(tdMariaDb);
  for (const char* n : names) {
    const std::string to = std::string("FENWOLD_TEST_MARIADB_") + n;
    if (saved.count(to))
      setenv(to.c_str(), saved[to].c_str(), 1);
    else
      unsetenv(to.c_str());
  }
  ASSERT_TRUE(env.Ok());
  ASSERT_EQ(env.Scalar("SELECT @@innodb_rollback_on_timeout"), "1") << "not the strict server";
  env.SetFolders();
  const int debit = env.AddCardType("DEBIT", false, true);
  env.Exec("ALTER TABLE card ADD CONSTRAINT card_debit_cap CHECK (debit_left <= 1000)");
  env.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('G', 100, 0)");
  const std::string group = env.Scalar("SELECT id FROM card_pool WHERE name = 'G'");
  std::string file;
  for (int i = 0; i <= 10; ++i) {
    const std::string number = std::to_string(7400 + i);
    env.Exec("INSERT INTO card (number, type_id, group_id, debit_left) VALUES (" + number + ", " +
             std::to_string(debit) + ", " + group + ", " + (i == 10 ? "900" : "0") + ")");
    file += "C," + number + ",DEBIT,Top-up,0800,20240101,1800,20261231," +
            (i == 10 ? "5000" : "1") + ",G\r\n";
  }
  env.Drop("group-g.csv", file);
  {
    TODBC holder;
    ASSERT_TRUE(env.Connect(holder, true));
    ASSERT_EQ(QueryText(holder, "SELECT id FROM card_pool WHERE name = 'G' FOR UPDATE"), group);
    env.Intake().ScanCardFiles();
    ASSERT_TRUE(holder.EndTrans(false));
  }
  env.Intake().ProcessFutureCards();
  env.Intake().ProcessFutureCards();
  std::string applied;
  for (const TRow& r : env.Query("SELECT number, debit_left FROM card ORDER BY number")) {
    applied += r.at("number") + "=" + r.at("debit_left") + " ";
  }
  EXPECT_EQ(applied,
            "7400=1 7401=1 7402=1 7403=1 7404=1 7405=1 7406=1 7407=1 7408=1 7409=1 7410=900 ");
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "0");
  EXPECT_TRUE(FileExistsAt(env.done + "/group-g.csv"));
}

}  // namespace
}  // namespace fw::test

// The transaction guard and its savepoints on every driver, on manual-commit and auto-commit
// connections.
#include <gtest/gtest.h>

#include "db/odbc_binding.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "tests/support/db_fixture.h"

namespace fw {
namespace {

class DbTransaction : public test::TDbTest {
 protected:
  void SetUp() override {
    test::TDbTest::SetUp();
    ASSERT_TRUE(test::ExecAll(*db, {"CREATE TABLE t (id INTEGER PRIMARY KEY)"}));
  }
  // As another connection sees it: only what was committed.
  std::string Ids() {
    std::string ids;
    TODBCStatement st(*db);
    for (bool row = st.Exec("SELECT id FROM t ORDER BY id").Ok(); row; row = st.Skip().Ok()) {
      ids += (ids.empty() ? "" : ",") + st.FieldAsString("id");
    }
    return ids;
  }
  void Clear() { ASSERT_TRUE(test::ExecSql(*db, "DELETE FROM t")); }
};

TEST_P(DbTransaction, CommitKeepsAndLeavingScopeRollsBack) {
  for (bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual commit" : "auto-commit");
    auto c = Connect(manual);
    TODBCStatement st(*c);
    {
      TTransaction transaction(st);
      ASSERT_TRUE(transaction.Began()) << st.ErrorText();
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (1)"));
      EXPECT_EQ(Ids(), "");
      EXPECT_TRUE(transaction.Commit()) << transaction.ErrorText();
    }
    EXPECT_EQ(Ids(), "1");
    {
      TTransaction transaction(*c);  // its own statement on an auto-commit connection
      ASSERT_TRUE(transaction.Began());
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (2)"));
    }
    EXPECT_EQ(Ids(), "1");
    // The connection goes on as before: auto-commit work is committed at once.
    ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (3)"));
    if (manual) {
      ASSERT_TRUE(c->EndTrans(true));
    }
    EXPECT_EQ(Ids(), "1,3");
    Clear();
  }
}

// Renewed after the database gave up on it, the guard still owns what follows: nothing of
// the first part survives, and the rest commits or rolls back with the guard.
TEST_P(DbTransaction, RenewDropsTheFirstPartAndGuardsTheRest) {
  for (bool manual : {true, false}) {
    for (bool commit : {true, false}) {
      SCOPED_TRACE(std::string(manual ? "manual commit" : "auto-commit") +
                   (commit ? ", committed" : ", left"));
      auto c = Connect(manual);
      TODBCStatement st(*c);
      {
        TTransaction transaction(st);
        ASSERT_TRUE(transaction.Began()) << st.ErrorText();
        ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (1)"));
        ASSERT_TRUE(transaction.Renew()) << transaction.ErrorText();
        EXPECT_TRUE(transaction.Open());
        ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (2)"));
        EXPECT_EQ(Ids(), "");
        if (commit) {
          EXPECT_TRUE(transaction.Commit()) << transaction.ErrorText();
        }
      }
      EXPECT_EQ(Ids(), commit ? "2" : "");
      Clear();
    }
  }
}

// A bad line inside its savepoint is undone alone and the transaction goes on, also on
// PostgreSQL, which refuses everything after a failed statement until it is rolled back to.
TEST_P(DbTransaction, SavepointsUndoOnlyTheirPart) {
  for (bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual commit" : "auto-commit");
    auto c = Connect(manual);
    TODBCStatement st(*c);
    TTransaction transaction(st);
    ASSERT_TRUE(transaction.Began());
    for (int id : {1, 2, 1, 3}) {
      TSavepoint line(transaction, "fw_line");
      ASSERT_TRUE(line.Began()) << st.ErrorText();
      if (!st.Exec("INSERT INTO t VALUES (" + std::to_string(id) + ")")) {
        EXPECT_TRUE(line.RollBack()) << st.ErrorText();
        continue;
      }
      EXPECT_TRUE(line.Release()) << st.ErrorText();
    }
    {
      TSavepoint outer(transaction, "fw_outer");
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (4)"));
      {
        TSavepoint inner(transaction, "fw_inner");
        ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (5)"));
        EXPECT_TRUE(inner.Release());
      }
      // Leaving scope unreleased undoes the savepoint and what was released into it.
    }
    {
      TSavepoint kept(transaction, "fw_kept");
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (6)"));
      EXPECT_TRUE(kept.Release());
    }
    EXPECT_TRUE(transaction.Commit()) << transaction.ErrorText();
    EXPECT_EQ(Ids(), "1,2,3,6");
    Clear();
  }
}

TEST_P(DbTransaction, DisconnectNeverCommitsHalfAFile) {
  for (bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual commit" : "auto-commit");
    auto c = Connect(manual);
    TTransaction transaction(*c);
    ASSERT_TRUE(test::ExecSql(*c, "INSERT INTO t VALUES (1)"));
    c->Disconnect();
    EXPECT_EQ(transaction.Commit().Code(), dcLost);
    EXPECT_EQ(Ids(), "");
  }
}

// The server ends the transaction in the middle of the unit (as a deadlock victim or a Galera
// abort does; here a ROLLBACK run on another statement): the writes after it must not commit
// alone, and Commit must not report success.
TEST_P(DbTransaction, UnitEndedByTheServerCommitsNothing) {
  for (bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual commit" : "auto-commit");
    auto c = Connect(manual);
    TODBCStatement st(*c), other(*c);
    {
      TTransaction transaction(st);
      ASSERT_TRUE(transaction.Began()) << transaction.ErrorText();
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (1)"));
      other.Exec("ROLLBACK");
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (2)")) << st.ErrorText();
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (3)")) << st.ErrorText();
      EXPECT_EQ(Ids(), "") << "a write committed alone";
      EXPECT_TRUE(transaction.Commit().Failed());
      EXPECT_FALSE(transaction.Open());
    }
    EXPECT_EQ(Ids(), "");
    // The connection's own work afterwards is as before the unit.
    ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (4)"));
    if (manual) {
      ASSERT_TRUE(c->EndTrans(true));
    }
    EXPECT_EQ(Ids(), "4");
    Clear();
  }
}

// The server ends the transaction and no statement says so (here the driver is told to roll
// back behind the guard's back; InnoDB then runs what follows in a new transaction). With
// upSavepoint the part after the end must not commit, whether the unit began it or the
// connection is manual-commit; a unit the server left alone commits as ever.
TEST_P(DbTransaction, UnitTheServerEndedSilentlyCommitsNothing) {
  for (bool manual : {true, false}) {
    for (bool ended : {true, false}) {
      SCOPED_TRACE(std::string(manual ? "manual commit" : "auto-commit") +
                   (ended ? ", ended by the server" : ", left alone"));
      auto c = Connect(manual);
      TODBCStatement st(*c);
      {
        TTransaction transaction(st, upSavepoint);
        ASSERT_TRUE(transaction.Began()) << transaction.ErrorText();
        ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (1)"));
        if (ended) OdbcApi.SQLEndTran(SQL_HANDLE_DBC, c->Dbc(), SQL_ROLLBACK);
        ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (2)")) << st.ErrorText();
        const TDbStatus committed = transaction.Commit();
        EXPECT_EQ(committed.Code(), ended ? dcTryAgain : dcOk) << committed.CodedText();
        EXPECT_FALSE(transaction.Open());
      }
      EXPECT_EQ(Ids(), ended ? "" : "1,2");
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (4)"));
      if (manual) {
        ASSERT_TRUE(c->EndTrans(true));
      }
      EXPECT_EQ(Ids(), ended ? "4" : "1,2,4");
      Clear();
    }
  }
}

// A failed statement keeps the unit from committing unless a savepoint around it was rolled
// back to; Commit then returns that statement's failure and leaves nothing behind.
TEST_P(DbTransaction, FailedStatementStopsTheCommitUnlessRolledBackTo) {
  enum TAround { kNoSavepoint, kRolledBackTo, kReleased, kFailureBeforeSavepoint, kProbe };
  struct TCase {
    const char* what;
    TAround around;
    bool commits;
  } const cases[] = {
      {"no savepoint", kNoSavepoint, false},
      {"savepoint rolled back to", kRolledBackTo, true},
      {"savepoint released", kReleased, false},
      {"failure before the savepoint rolled back to", kFailureBeforeSavepoint, false},
      // A refusal the caller answers itself; PostgreSQL aborted the transaction with it.
      {"probe refused", kProbe, Driver() != test::TTestDriver::kPostgres},
  };
  const char* kDuplicate = "INSERT INTO t VALUES (1)";
  for (bool manual : {true, false}) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(manual ? "manual commit, " : "auto-commit, ") + c.what);
      auto connection = Connect(manual);
      TODBCStatement st(*connection);
      TTransaction transaction(st);
      ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (1)"));
      TDbStatus failure;
      if (c.around == kProbe) {
        failure = st.Exec("SELECT id FROM t FOR NOTHING", euProbe);
      } else if (c.around == kNoSavepoint) {
        failure = st.Exec(kDuplicate);
      } else if (c.around == kFailureBeforeSavepoint) {
        failure = st.Exec(kDuplicate);
        TSavepoint savepoint(transaction, "fw_part");
        EXPECT_TRUE(savepoint.RollBack().Ok());
      } else {
        TSavepoint savepoint(transaction, "fw_part");
        ASSERT_TRUE(savepoint.Began()) << st.ErrorText();
        failure = st.Exec(kDuplicate);
        if (c.around == kRolledBackTo) {
          EXPECT_TRUE(savepoint.RollBack().Ok()) << st.ErrorText();
        }
        if (c.around == kReleased) savepoint.Release();
      }
      ASSERT_EQ(failure.Code(), dcBadData);
      if (c.around == kNoSavepoint || c.around == kRolledBackTo) {
        st.Exec("INSERT INTO t VALUES (2)");  // PostgreSQL refuses it after the failure
      }
      const TDbStatus commit = transaction.Commit();
      if (c.commits) {
        EXPECT_TRUE(commit.Ok()) << commit.Text();
        EXPECT_EQ(Ids(), c.around == kRolledBackTo ? "1,2" : "1");
      } else {
        EXPECT_EQ(commit.Code(), dcBadData);
        EXPECT_EQ(commit.Text(), failure.Text()) << "the first failure, not a later one";
        EXPECT_EQ(Ids(), "");
      }
      Clear();
    }
  }
}

// What Exec and Skip answer, and that the answer is kept for callers that ask again later.
TEST_P(DbTransaction, StatusesOfExecAndSkip) {
  ASSERT_TRUE(test::ExecSql(*db, "INSERT INTO t VALUES (7)"));
  TODBCStatement st(*db);
  struct TStep {
    const char* sql;  // nullptr: Skip
    TDbCode expected;
  } const steps[] = {
      {"SELECT id FROM t", dcOk},
      {nullptr, dcNoRow},
      {nullptr, dcNoRow},
      {"SELECT id FROM t WHERE id = 8", dcNoRow},
      {"UPDATE t SET id = 9 WHERE id = 8", dcOk},
      {"SELECT nosuchcolumn FROM t", dcBadData},
      {"INSERT INTO t VALUES (7)", dcBadData},
      {"SELECT id FROM t", dcOk},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.sql ? step.sql : "Skip");
    const TDbStatus status = step.sql ? st.Exec(step.sql) : st.Skip();
    EXPECT_EQ(status.Code(), step.expected) << status.Text();
    EXPECT_EQ(st.LastStatus().Code(), step.expected);
    EXPECT_EQ(status.Failed(), !status.Text().empty()) << "a failure says why, an answer does not";
    EXPECT_EQ(st.ErrorText(), status.Text());
    EXPECT_EQ(static_cast<bool>(status), step.expected == dcOk);
  }
  EXPECT_EQ(st.FieldAsString("id"), "7");
}

// Cancelled by our own stop check, a statement is dcStopped on every driver, whatever the
// driver calls the cancel, and its unit cannot commit.
TEST_P(DbTransaction, StopCheckCancelIsStopped) {
  TODBCStatement st(*db);
  TTransaction transaction(st);
  ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (1)"));
  SetExecWaitHook([] {});
  SetExecCancelCheck([] { return true; });
  const TDbStatus status =
      st.Exec(IsSqlite() ? "SELECT (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                           "FROM c WHERE x < 100000000) SELECT COUNT(*) FROM c) AS n"
              : Driver() == test::TTestDriver::kPostgres ? "SELECT 0 AS n FROM pg_sleep(30)"
                                                         : "SELECT SLEEP(30) AS n");
  SetExecCancelCheck(nullptr);
  SetExecWaitHook(nullptr);
  EXPECT_EQ(status.Code(), dcStopped) << status.CodedText();
  EXPECT_EQ(transaction.Commit().Code(), dcStopped);
  EXPECT_EQ(Ids(), "");
}

FW_ON_EVERY_DRIVER(DbTransaction);

}  // namespace
}  // namespace fw

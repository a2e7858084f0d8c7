// The transaction guard and its savepoints on every driver, on manual-commit and auto-commit
// connections.
#include <gtest/gtest.h>

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
  auto c = Connect(true);
  TTransaction transaction(*c);
  ASSERT_TRUE(test::ExecSql(*c, "INSERT INTO t VALUES (1)"));
  c->Disconnect();
  EXPECT_FALSE(transaction.Commit());
  EXPECT_EQ(Ids(), "");
}

FW_ON_EVERY_DRIVER(DbTransaction);

}  // namespace
}  // namespace fw

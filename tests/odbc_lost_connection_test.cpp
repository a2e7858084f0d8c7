// A server (MariaDB, PostgreSQL) that dies under a connection: statements, commits and the
// connection say that the connection was lost, and nothing half-done is committed behind the
// caller's back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db/odbc.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "tests/support/db_fixture.h"

namespace fw {
namespace {

class LostConnection : public ::testing::TestWithParam<test::TTestDriver> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
    ASSERT_TRUE(server_.Params().Connect(staging_, true)) << staging_.LastError();
    ASSERT_TRUE(server_.Params().Connect(main_, false)) << main_.LastError();
    ASSERT_TRUE(test::ExecAll(
        main_, {"CREATE TABLE t (id INTEGER PRIMARY KEY)", "INSERT INTO t VALUES (1)"}));
  }

  test::TPrivateServer server_{GetParam(), FENWOLD_SOURCE_DIR};
  TODBC staging_;
  TODBC main_;
};

TEST_P(LostConnection, ServerKilledMidTransaction) {
  TODBCStatement st(staging_);
  ASSERT_TRUE(st.Exec("INSERT INTO t VALUES (2)")) << st.ErrorText();
  // A guarded unit on an auto-commit connection whose commit is the first to meet the dead
  // server.
  TODBC guarded;
  ASSERT_TRUE(server_.Params().Connect(guarded, false)) << guarded.LastError();
  TODBCStatement unitWork(guarded);
  TTransaction unit(unitWork);
  ASSERT_TRUE(unitWork.Exec("INSERT INTO t VALUES (4)")) << unitWork.ErrorText();
  ASSERT_TRUE(server_.Kill());
  EXPECT_EQ(unit.Commit().Code(), dcLost) << unit.ErrorText();
  EXPECT_TRUE(unit.Commit().Failed()) << "asked again, still no success";

  EXPECT_FALSE(st.Exec("INSERT INTO t VALUES (3)"));
  EXPECT_TRUE(st.LostConnection()) << st.ErrorText();
  EXPECT_TRUE(staging_.LostConnection());
  EXPECT_FALSE(staging_.EndTrans(true)) << "the commit outcome must not be reported as success";
  EXPECT_TRUE(staging_.LostConnection()) << staging_.LastError();

  // The auto-commit connection finds out at its next statement.
  EXPECT_FALSE(main_.LostConnection());
  TODBCStatement read(main_, caReadOnly);
  EXPECT_FALSE(read.Exec("SELECT id FROM t"));
  EXPECT_TRUE(main_.LostConnection()) << read.ErrorText();

  // A new statement on the dead connection fails as lost too.
  TODBCStatement late(staging_);
  EXPECT_FALSE(late.Exec("SELECT 1"));
  EXPECT_TRUE(late.LostConnection() || !late.Valid()) << late.ErrorText();

  // A connect while the server is down says unreachable.
  TODBC again;
  EXPECT_FALSE(server_.Params().Connect(again, false));
  EXPECT_TRUE(again.LostConnection()) << again.LastError();

  // Once the server is back, Disconnect and Connect give a working connection; the
  // transaction that was open is gone, not half committed.
  std::string error;
  ASSERT_TRUE(server_.Restart(error)) << error;
  staging_.Disconnect();
  ASSERT_TRUE(server_.Params().Connect(staging_, true)) << staging_.LastError();
  EXPECT_FALSE(staging_.LostConnection());
  EXPECT_EQ(test::QueryText(staging_, "SELECT COUNT(*) FROM t"), "1");
  EXPECT_EQ(test::QueryText(staging_, "SELECT MAX(id) FROM t"), "1");
}

TEST_P(LostConnection, ServerKilledWhileAStatementRuns) {
  // With a wait hook the statement runs on the worker while this thread waits.
  int hookCalls = 0;
  SetExecWaitHook([&] { ++hookCalls; });
  TODBCStatement st(main_);
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    server_.Kill();
  });
  const auto start = std::chrono::steady_clock::now();
  const bool ok = st.Exec(GetParam() == test::TTestDriver::kPostgres ? "SELECT pg_sleep(30) AS s"
                                                                     : "SELECT SLEEP(30) AS s")
                      .Ok();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  killer.join();
  SetExecWaitHook(nullptr);
  EXPECT_FALSE(ok);
  EXPECT_GE(hookCalls, 1);
  EXPECT_LT(seconds.count(), 20) << "Exec must end when the connection breaks";
  EXPECT_TRUE(st.LostConnection()) << st.ErrorText();
  EXPECT_TRUE(main_.LostConnection());
}

INSTANTIATE_TEST_SUITE_P(Servers, LostConnection,
                         ::testing::Values(test::TTestDriver::kMariaDb,
                                           test::TTestDriver::kPostgres),
                         test::TestDriverName);

}  // namespace
}  // namespace fw

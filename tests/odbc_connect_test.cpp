// Connections on the real driver manager, each case on every test driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "db/odbc.h"
#include "db/statement.h"
#include "tests/support/db_fixture.h"
#include "tests/support/silent_port.h"
#include "tests/support/test_platform.h"

namespace fw {
namespace {

using test::TDbParams;
using test::TTestDriver;

class OdbcConnect : public test::TDbTest {
 protected:
  void TearDown() override {
    test::UnsetEnvVar("ODBCINI");
    test::TDbTest::TearDown();
  }
  TDriverKind ExpectedKind() const {
    const TDriverKind kinds[] = {dkGeneric, dkMySql, dkPostgres};
    return kinds[static_cast<int>(Driver())];
  }
  // The [ODBC] / data source pairs that reach this test's database.
  std::string SourcePairs(const char* driverKey) const {
    const TDbParams& p = Params();
    std::string text = std::string(driverKey) + "=" + p.driver + "\nDatabase=" + p.database + "\n";
    if (!IsSqlite()) {
      // psqlODBC reads the host of a data source as Servername only.
      text += (Driver() == TTestDriver::kPostgres ? "Servername=" : "SERVER=") +
              database_->Server().host + "\nPORT=" + database_->Server().port + "\n";
    }
    return text;
  }
};

TEST_P(OdbcConnect, ByAssembledString) {
  ASSERT_TRUE(db->Connected());
  EXPECT_EQ(db->DriverKind(), ExpectedKind());
  // The completed string: MariaDB's names the driver, which is what the kind was read from.
  EXPECT_NE(db->ConnectInfo().find(IsSqlite() ? Params().database : Params().driver),
            std::string::npos)
      << db->ConnectInfo();
  EXPECT_EQ(test::QueryText(*db, "SELECT 6 * 7"), "42");
  EXPECT_FALSE(db->LostConnection());
}

TEST_P(OdbcConnect, SecondConnectReturnsTrueAndChangesNothing) {
  const std::string info = db->ConnectInfo();
  const SQLHDBC handle = db->Dbc();
  EXPECT_TRUE(db->Connect("", "", "", "", true, "Oracle", ""));
  EXPECT_EQ(db->Dbc(), handle);
  EXPECT_EQ(db->ConnectInfo(), info);
  EXPECT_EQ(db->DriverKind(), ExpectedKind());
}

TEST_P(OdbcConnect, ByDataSourceName) {
  const std::string ini = ScratchDir() + "/odbc.ini";
  test::WriteFileBytes(ini, "[fenwold_cards]\n" + SourcePairs("Driver"));
  test::SetEnvVar("ODBCINI", test::DriverPath(ini));
  TODBC c;
  // Driver names no family: the kind comes from the data source's driver.
  ASSERT_TRUE(c.Connect("fenwold_cards", Params().user, Params().password, "", false, "", ""))
      << c.LastError();
  EXPECT_EQ(c.ConnectInfo(), Params().driver);
  EXPECT_EQ(c.DriverKind(), ExpectedKind());
  EXPECT_EQ(test::QueryText(c, "SELECT 1"), "1");
}

TEST_P(OdbcConnect, ByFileDataSource) {
  const std::string dsn = ScratchDir() + "/cards.dsn";
  test::WriteFileBytes(dsn, "[ODBC]\n" + SourcePairs("DRIVER"));
  TODBC c;
  ASSERT_TRUE(c.Connect(dsn, Params().user, Params().password, "", false, "", "")) << c.LastError();
  EXPECT_EQ(c.DriverKind(), ExpectedKind());
  EXPECT_EQ(test::QueryText(c, "SELECT 1"), "1");
}

TEST_P(OdbcConnect, RefusedConnectResetsTheKindAndSaysWhy) {
  TDbParams p = Params();
  if (IsSqlite()) {
    p.database = ScratchDir() + "/no/such/folder/cards.db";  // SQLite has no credentials
  } else {
    p.password += "-wrong";
  }
  TODBC c;
  EXPECT_FALSE(p.Connect(c, false));
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.Dbc(), nullptr);
  EXPECT_EQ(c.DriverKind(), dkGeneric);
  EXPECT_NE(c.LastError().find(". State:  "), std::string::npos) << c.LastError();
  EXPECT_FALSE(c.LostConnection()) << "a refused login is not a server that went away";
  // The object can still connect.
  EXPECT_TRUE(Params().Connect(c, false)) << c.LastError();
}

TEST_P(OdbcConnect, UnknownDriverFailsWithGenericKind) {
  TODBC c;
  EXPECT_FALSE(c.Connect("", "", "", "x", false, "MySQL ODBC 3.51 Driver", ""));
  EXPECT_EQ(c.DriverKind(), dkGeneric);
  EXPECT_FALSE(c.LastError().empty());
  EXPECT_FALSE(c.Connect("", "", "", "", false, "", ""));
  EXPECT_EQ(c.DriverKind(), dkGeneric);
}

TEST_P(OdbcConnect, PasswordWithSemicolonAndBrace) {
  if (IsSqlite()) {
    // SQLite ignores credentials; the braced pair must still parse.
    TDbParams p = Params();
    p.password = "pa;ss}word";
    TODBC c;
    EXPECT_TRUE(p.Connect(c, false)) << c.LastError();
    return;
  }
  // A user of its own, named after the test's database; logging in needs no privilege.
  const bool postgres = Driver() == TTestDriver::kPostgres;
  TDbParams p = Params();
  p.user = "u" + p.database;
  p.password = "pa;ss}word";
  if (!postgres) p.database.clear();  // PostgreSQL would look for a database named as the user
  const std::string user = postgres ? p.user : "'" + p.user + "'@'127.0.0.1'";
  ASSERT_TRUE(test::ExecAll(*db, {"CREATE USER " + user +
                                  (postgres ? " PASSWORD" : " IDENTIFIED BY") + " 'pa;ss}word'"}));
  TODBC c;
  EXPECT_TRUE(p.Connect(c, false)) << c.LastError();
  c.Disconnect();
  test::ExecSql(*db, "DROP USER " + user);
}

TEST_P(OdbcConnect, ManualCommitAndRollbackSeenFromAnotherConnection) {
  ASSERT_TRUE(test::ExecAll(*db, {"CREATE TABLE t (id INTEGER PRIMARY KEY, v VARCHAR(10))"}));
  auto staging = Connect(true);
  ASSERT_TRUE(staging->Connected());
  const auto count = [&] { return test::QueryText(*db, "SELECT COUNT(*) FROM t"); };

  ASSERT_TRUE(test::ExecSql(*staging, "INSERT INTO t VALUES (1, 'a')"));
  EXPECT_EQ(count(), "0");
  EXPECT_TRUE(staging->EndTrans(true));
  EXPECT_EQ(count(), "1");

  ASSERT_TRUE(test::ExecSql(*staging, "INSERT INTO t VALUES (2, 'b')"));
  ASSERT_TRUE(test::ExecSql(*staging, "UPDATE t SET v = 'changed' WHERE id = 1"));
  EXPECT_TRUE(staging->EndTrans(false));
  EXPECT_EQ(count(), "1");
  EXPECT_EQ(test::QueryText(*db, "SELECT v FROM t WHERE id = 1"), "a");

  // A failed statement leaves the transaction usable; the commit keeps the rest.
  ASSERT_TRUE(test::ExecSql(*staging, "INSERT INTO t VALUES (3, 'c')"));
  EXPECT_FALSE(test::ExecSql(*staging, "INSERT INTO t VALUES (1, 'duplicate')"));
  EXPECT_TRUE(staging->EndTrans(true));
  EXPECT_EQ(count(), "2");

  // Disconnect rolls back what is open: a connection dropped half-way through a file never
  // commits that half.
  ASSERT_TRUE(test::ExecSql(*staging, "INSERT INTO t VALUES (4, 'd')"));
  staging->Disconnect();
  EXPECT_EQ(count(), "2");
}

TEST_P(OdbcConnect, EndTransInAutoCommitAndWhenNotConnected) {
  EXPECT_TRUE(db->EndTrans(true));
  EXPECT_TRUE(db->EndTrans(false));
  TODBC idle;
  EXPECT_TRUE(idle.EndTrans(false));
  db->Disconnect();
  EXPECT_FALSE(db->Connected());
  EXPECT_TRUE(db->EndTrans(true));
  EXPECT_TRUE(Params().Connect(*db, false)) << "a disconnected object connects again";
}

TEST_P(OdbcConnect, DisconnectReleasesOpenStatements) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Valid());
  ASSERT_TRUE(st.Exec("SELECT 1 AS one"));
  db->Disconnect();
  EXPECT_FALSE(st.Valid());
  EXPECT_FALSE(st.Exec("SELECT 1"));
  EXPECT_EQ(st.FieldAsString("one"), "");
  EXPECT_FALSE(st.ErrorText().empty());
  TODBCStatement late(*db);
  EXPECT_FALSE(late.Valid());
  EXPECT_FALSE(late.Exec("SELECT 1"));
}

TEST_P(OdbcConnect, TwoConnectionsDestroyingTheFirstLeavesTheSecondUsable) {
  auto first = Connect(false);
  auto second = Connect(true);
  first.reset();
  EXPECT_EQ(test::QueryText(*second, "SELECT 5"), "5");
}

FW_ON_EVERY_DRIVER(OdbcConnect);

// MariaDB only: a host that does not answer.
TEST(ConnectMariaDb, SilentHostFailsWithinTheLoginTimeout) {
  test::TMariaDbServer server;
  std::string missing;
  ASSERT_TRUE(test::MariaDbServerFromEnv(server, missing)) << missing;
  test::TSilentPort silent;
  ASSERT_NE(silent.Port(), 0);
  TODBC c;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.Connect("", server.user, server.password, server.database, false,
                         "MariaDB Unicode",
                         "SERVER=127.0.0.1;PORT=" + std::to_string(silent.Port())));
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(seconds.count(), 12.0) << "the 5 s login timeout was not applied";
  EXPECT_TRUE(c.LostConnection()) << "an unreachable server counts as a lost connection: "
                                  << c.LastError();
}

}  // namespace
}  // namespace fw

// Binding the driver manager at run time: a missing library or entry point leaves a connection
// that cannot connect and calls nothing; each successful binding holds one load reference.
#include "db/odbc_binding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "db/odbc.h"
#include "db/statement.h"
#include "tests/support/db_fixture.h"

namespace fw {
namespace {

class Binding : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("FENWOLD_ODBC_LIB"); }
  static void UseLibrary(const char* path) { setenv("FENWOLD_ODBC_LIB", path, 1); }
  // Nothing can be done on a connection whose binding failed.
  static void ExpectUnusable(TODBC& db) {
    EXPECT_EQ(db.Env(), nullptr);
    EXPECT_FALSE(db.Connect("", "", "", "", false, "SQLite3", ""));
    EXPECT_FALSE(db.LastError().empty());
    TODBCStatement st(db);
    EXPECT_FALSE(st.Valid());
    EXPECT_FALSE(st.Exec("SELECT 1"));
    EXPECT_TRUE(db.EndTrans(true));
  }
};

TEST_F(Binding, TableOrderAndCount) {
  ASSERT_EQ(OdbcEntryPointCount, 41);
  EXPECT_STREQ(OdbcEntryPointNames[0], "SQLAllocHandle");
  EXPECT_STREQ(OdbcEntryPointNames[9], "SQLBrowseConnect");
  EXPECT_STREQ(OdbcEntryPointNames[17], "SQLExecDirect");
  EXPECT_STREQ(OdbcEntryPointNames[40], "SQLCancel");
}

TEST_F(Binding, MissingLibraryLeavesAConnectionThatCannotConnect) {
  UseLibrary("/nonexistent/libodbc.so.2");
  TODBC db;
  ExpectUnusable(db);
  EXPECT_NE(db.LastError().find("driver manager"), std::string::npos) << db.LastError();
}

TEST_F(Binding, ALibraryLackingOneEntryPointIsNotBoundAtAll) {
  UseLibrary(FENWOLD_ODBC_STUB_LACKING);
  {
    TODBC db;
    ExpectUnusable(db);
    EXPECT_EQ(OdbcBindings(), 0) << "given back at once";
  }
  EXPECT_EQ(OdbcBindings(), 0);
}

TEST_F(Binding, EachBindingHoldsOneReferenceUntilItsConnectionIsDestroyed) {
  UseLibrary(FENWOLD_ODBC_STUB_FULL);
  auto first = std::make_unique<TODBC>();
  auto second = std::make_unique<TODBC>();
  EXPECT_EQ(OdbcBindings(), 2);
  // The stub's environment allocation fails: bound, yet unusable.
  ExpectUnusable(*first);
  first.reset();
  EXPECT_EQ(OdbcBindings(), 1) << "the second connection still holds its reference";
  second.reset();
  EXPECT_EQ(OdbcBindings(), 0);
}

TEST_F(Binding, AnotherLibraryIsRefusedWhileOneIsInUse) {
  std::string error;
  auto database = test::TTestDatabase::Create(test::TTestDriver::kSqlite, error);
  ASSERT_TRUE(database) << error;
  TODBC real;
  ASSERT_TRUE(database->Params().Connect(real, false)) << real.LastError();
  UseLibrary(FENWOLD_ODBC_STUB_FULL);
  {
    TODBC other;
    EXPECT_EQ(other.Env(), nullptr);
    EXPECT_EQ(OdbcBindings(), 1);
  }
  // The live connection still calls the real driver manager.
  EXPECT_EQ(test::QueryText(real, "SELECT 3"), "3");
}

TEST_F(Binding, BindingAgainAfterAFailureWorks) {
  UseLibrary(FENWOLD_ODBC_STUB_LACKING);
  { TODBC failed; }
  unsetenv("FENWOLD_ODBC_LIB");
  std::string error;
  auto database = test::TTestDatabase::Create(test::TTestDriver::kSqlite, error);
  ASSERT_TRUE(database) << error;
  TODBC db;
  ASSERT_TRUE(database->Params().Connect(db, false)) << db.LastError();
  EXPECT_EQ(test::QueryText(db, "SELECT 4"), "4");
}

}  // namespace
}  // namespace fw

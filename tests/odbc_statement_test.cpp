// Statements and result access on the real drivers, each case on every test driver.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "db/odbc.h"
#include "db/odbc_binding.h"
#include "db/statement.h"
#include "tests/support/db_fixture.h"

namespace fw {
namespace {

class Statement : public test::TDbTest {
 protected:
  void SetUp() override {
    test::TDbTest::SetUp();
    if (HasFatalFailure()) return;
    const std::string stamp = test::DateTimeType(Driver());
    ASSERT_TRUE(test::ExecAll(
        *db, {"CREATE TABLE kinds (id INTEGER, name VARCHAR(40), price DECIMAL(10,2), stamp " +
                  stamp +
                  ", day DATE, clock TIME, note TEXT, active BOOLEAN, number BIGINT)",
              "INSERT INTO kinds VALUES (7, '  Blue Lot ', 12.50, {ts '2024-03-05 07:30:15'}, "
              "{d '2024-03-05'}, {t '07:30:15'}, 'a long note', TRUE, 12345678901234)",
              "INSERT INTO kinds (id) VALUES (8)"}));
  }
  bool IsPostgres() const { return Driver() == test::TTestDriver::kPostgres; }
  TDateTime Today() const { return DateOf(LocalNow()); }
};

TEST_P(Statement, ColumnClassesAndValues) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT * FROM kinds WHERE id = 7")) << st.ErrorText();
  // SQLite keeps DECIMAL and TEXT as text; MariaDB's BOOLEAN is a TINYINT; psqlODBC gives
  // booleans as characters.
  const struct {
    const char* column;
    TColumnClass classes[3];  // SQLite, MariaDB, PostgreSQL
    const char* texts[3];
  } cases[] = {
      {"id", {ctInteger, ctInteger, ctInteger}, {"7", "7", "7"}},
      {"name", {ctString, ctString, ctString}, {"Blue Lot", "Blue Lot", "Blue Lot"}},
      {"price", {ctString, ctFloat, ctFloat}, {"12.5", "12.50", "12.50"}},
      {"stamp",
       {ctDateTime, ctDateTime, ctDateTime},
       {"2024-03-05 07:30:15", "2024-03-05 07:30:15", "2024-03-05 07:30:15"}},
      {"day", {ctDate, ctDate, ctDate}, {"2024-03-05", "2024-03-05", "2024-03-05"}},
      {"clock", {ctTime, ctTime, ctTime}, {"07:30:15", "07:30:15", "07:30:15"}},
      {"note", {ctString, ctMemo, ctMemo}, {"a long note", "a long note", "a long note"}},
      {"active", {ctBoolean, ctInteger, ctString}, {"1", "1", "1"}},
      {"number",
       {ctInteger, ctInteger, ctInteger},
       {"12345678901234", "12345678901234", "12345678901234"}},
  };
  const int d = static_cast<int>(Driver());
  for (const auto& c : cases) {
    const int i = st.ColumnIndex(c.column);
    ASSERT_GE(i, 0) << c.column;
    EXPECT_EQ(st.ColumnClass(i), c.classes[d]) << c.column;
    EXPECT_EQ(st.FieldAsString(c.column), c.texts[d]) << c.column;
  }
  EXPECT_EQ(st.FieldAsInteger("id"), 7);
  EXPECT_TRUE(st.FieldAsBoolean("active"));
  // Bound columns are read as text (SQLite); MariaDB's driver converts the decimal itself.
  EXPECT_EQ(st.FieldAsInteger("price"), IsSqlite() ? 0 : 12);
  EXPECT_EQ(st.FieldAsInteger("number"), 0) << "beyond 32 bits";
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("stamp"), EncodeDate(2024, 3, 5) + EncodeTime(7, 30, 15));
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("day"), EncodeDate(2024, 3, 5));
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("clock"), EncodeTime(7, 30, 15));
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("name"), Today()) << "not a date column";
  EXPECT_EQ(st.ColumnSize(-1), -1);
  EXPECT_EQ(st.ColumnClass(99), ctOther);
}

TEST_P(Statement, EveryGetterOnNullMissingColumnAndAfterTheLastRow) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT * FROM kinds WHERE id = 8")) << st.ErrorText();
  const char* columns[] = {"name", "price", "stamp", "day", "clock", "note", "active", "number"};
  for (const char* c : columns) {
    EXPECT_EQ(st.FieldAsString(c), "") << c;
    EXPECT_EQ(st.FieldAsInteger(c), 0) << c;
    EXPECT_FALSE(st.FieldAsBoolean(c)) << c;
  }
  for (const char* c : {"stamp", "day", "clock"}) {
    EXPECT_DOUBLE_EQ(st.FieldAsDateTime(c), 0) << c << ": NULL is the zero date-time";
  }
  EXPECT_EQ(st.FieldAsInteger("id"), 8);
  EXPECT_EQ(st.FieldAsString("missing"), "");
  EXPECT_EQ(st.FieldAsInteger("missing"), 0);
  EXPECT_FALSE(st.FieldAsBoolean("missing"));
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("missing"), Today());

  EXPECT_FALSE(st.Skip());
  EXPECT_EQ(st.FieldAsString("id"), "");
  EXPECT_EQ(st.FieldAsInteger("id"), 0);
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("day"), 0);
  EXPECT_DOUBLE_EQ(st.FieldAsDateTime("name"), Today());
  EXPECT_TRUE(st.ErrorText().empty()) << st.ErrorText();
}

TEST_P(Statement, ColumnNamesIgnoreCaseAndTheFirstOfTwoWins) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT id, name AS Id, 3 AS x FROM kinds WHERE id = 7"));
  for (const char* name : {"id", "ID", "Id", "iD"}) EXPECT_EQ(st.FieldAsString(name), "7") << name;
  EXPECT_EQ(st.ColumnName(1), "ID");
  const std::string longName(129, 'x');
  EXPECT_EQ(st.ColumnIndex(longName), -1);
}

TEST_P(Statement, AColumnReadTwiceGivesTheSameValue) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT id, name, note, price FROM kinds WHERE id = 7"));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(st.FieldAsString("note"), "a long note");
    EXPECT_EQ(st.FieldAsString("name"), "Blue Lot");
    EXPECT_EQ(st.FieldAsInteger("id"), 7);
    EXPECT_EQ(st.FieldAsString("id"), "7");
    EXPECT_EQ(st.FieldAsInteger("price"), IsSqlite() ? 0 : 12) << "read after its text";
  }
}

// Rows after rows of other lengths, blanks and NULLs: nothing of one row's texts is left in the
// next, and the getters by index read as those by name.
TEST_P(Statement, EveryRowReadsItsOwnValuesByIndexAsByName) {
  const std::string stamp = test::DateTimeType(Driver());
  ASSERT_TRUE(test::ExecAll(
      *db, {"CREATE TABLE seq (id INTEGER, name VARCHAR(40), stamp " + stamp + ", n INTEGER)",
            "INSERT INTO seq VALUES (1, 'a much longer name than the next', "
            "{ts '2024-03-05 07:30:15'}, 5)",
            "INSERT INTO seq (id) VALUES (2)",
            "INSERT INTO seq VALUES (3, ' x\t', {ts '1999-12-31 23:59:59'}, -3)",
            "INSERT INTO seq VALUES (4, 'short', {ts '2024-03-05 07:30:15'}, 2147483647)"}));
  const struct {
    const char* name;
    TDateTime stamp;
    int32_t n;
  } rows[] = {
      {"a much longer name than the next", EncodeDate(2024, 3, 5) + EncodeTime(7, 30, 15, 0), 5},
      {"", 0, 0},
      {"x", EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 0), -3},
      {"short", EncodeDate(2024, 3, 5) + EncodeTime(7, 30, 15, 0), 2147483647},
  };
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT id, name, stamp, n FROM seq ORDER BY id")) << st.ErrorText();
  const int id = st.ColumnIndex("id"), name = st.ColumnIndex("name"),
            when = st.ColumnIndex("stamp"), n = st.ColumnIndex("n");
  for (size_t r = 0; r < std::size(rows); ++r) {
    SCOPED_TRACE("row " + std::to_string(r + 1));
    EXPECT_EQ(st.ColumnInteger(id), static_cast<int32_t>(r + 1));
    EXPECT_EQ(st.ColumnText(name), rows[r].name);
    EXPECT_NEAR(st.ColumnDateTime(when), rows[r].stamp, 1e-9);
    EXPECT_EQ(st.ColumnInteger(n), rows[r].n);
    EXPECT_EQ(st.FieldAsString("name"), rows[r].name);
    EXPECT_EQ(st.FieldAsInteger("n"), rows[r].n);
    EXPECT_EQ(st.Skip().Ok(), r + 1 < std::size(rows));
  }
  EXPECT_EQ(st.ColumnText(name), "");
  EXPECT_EQ(st.ColumnInteger(-1), 0);
}

TEST_P(Statement, LongAndMultiByteValuesAreReadWhole) {
  // Sizes count characters, values come as UTF-8 bytes; SQLite keeps longer values than the
  // declared size.
  const std::string oslash = "\xC3\x98";
  std::string ten;
  for (int i = 0; i < 10; ++i) ten += oslash;
  const std::string long_text(60000, 'x');
  ASSERT_TRUE(test::ExecAll(*db, {"CREATE TABLE wide (v VARCHAR(10), t TEXT)",
                                  "INSERT INTO wide VALUES ('" + ten + "', '" + long_text + "')"}));
  if (IsSqlite()) {
    ASSERT_TRUE(test::ExecAll(*db, {"INSERT INTO wide VALUES ('abcdefghijklmnop', 'x')"}));
  }
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT v, t FROM wide"));
  EXPECT_EQ(st.FieldAsString("v"), ten);
  EXPECT_EQ(st.FieldAsString("t").size(), long_text.size());
  if (IsSqlite()) {
    ASSERT_TRUE(st.Skip());
    EXPECT_EQ(st.FieldAsString("v"), "abcdefghijklmnop");
  }
}

TEST_P(Statement, SelectWithoutARowIsFalseWithoutError) {
  TODBCStatement st(*db);
  EXPECT_FALSE(st.Exec("SELECT * FROM kinds WHERE id = 99"));
  EXPECT_EQ(st.ErrorText(), "");
  EXPECT_FALSE(st.LostConnection());
  EXPECT_EQ(st.FieldAsString("id"), "");
  EXPECT_EQ(st.ColumnCount(), 9) << "the columns are described all the same";
}

TEST_P(Statement, StatementsTouchingNoRowSucceed) {
  TODBCStatement st(*db);
  EXPECT_TRUE(st.Exec("UPDATE kinds SET name = 'x' WHERE id = 99")) << st.ErrorText();
  EXPECT_TRUE(st.Exec("DELETE FROM kinds WHERE id = 99")) << st.ErrorText();
  EXPECT_TRUE(st.Exec("INSERT INTO kinds (id) SELECT id FROM kinds WHERE id = 99"))
      << st.ErrorText();
  EXPECT_EQ(st.RowsAffected(), 0);
  EXPECT_EQ(st.ColumnCount(), 0);
  EXPECT_EQ(st.FieldAsString("id"), "");
}

// The batched pass claims its records by the count of a DELETE.
TEST_P(Statement, RowsAffectedCountsTheRowsOfTheLastChange) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("INSERT INTO kinds (id) VALUES (100), (101), (102)")) << st.ErrorText();
  EXPECT_EQ(st.RowsAffected(), 3);
  EXPECT_TRUE(st.Exec("DELETE FROM kinds WHERE id IN (100, 101, 999)"));
  EXPECT_EQ(st.RowsAffected(), 2);
  EXPECT_TRUE(st.Exec("DELETE FROM kinds WHERE id IN (100, 101)"));
  EXPECT_EQ(st.RowsAffected(), 0) << "a second claim finds nothing";
}

TEST_P(Statement, VerbIsTheFirstSixCharacters) {
  TODBCStatement st(*db);
  EXPECT_TRUE(st.Exec("select id from kinds order by id"));
  EXPECT_EQ(st.FieldAsInteger("id"), 7);
  // A leading blank makes it no SELECT: true without a row; the first Skip brings the first.
  EXPECT_TRUE(st.Exec(" SELECT id FROM kinds WHERE id = 99"));
  EXPECT_TRUE(st.Exec("\nSELECT id FROM kinds ORDER BY id"));
  EXPECT_EQ(st.FieldAsString("id"), "");
  ASSERT_TRUE(st.Skip());
  EXPECT_EQ(st.FieldAsInteger("id"), 7);
  ASSERT_TRUE(st.Skip(skNext, 1));
  EXPECT_EQ(st.FieldAsInteger("id"), 8);
  EXPECT_FALSE(st.Skip());
}

TEST_P(Statement, ExecFmtFormatsItsArguments) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.ExecFmt("SELECT name FROM kinds WHERE id = %d AND name LIKE '%s'", 7, "%Lot%"));
  EXPECT_EQ(st.FieldAsString("name"), "Blue Lot");
}

TEST_P(Statement, SyntaxErrorGivesTheDriversText) {
  TODBCStatement st(*db);
  ASSERT_TRUE(st.Exec("SELECT id FROM kinds WHERE id = 7"));
  EXPECT_FALSE(st.Exec("SELEC id FROM kinds"));
  const std::string text = st.ErrorText();
  const size_t at = text.find(". State:  ");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.size() - at - 10, 5u) << "a five-character SQLSTATE ends the text: " << text;
  const char* states[] = {"HY000", "42000", "42601"};
  EXPECT_EQ(text.substr(at + 10), states[static_cast<int>(Driver())]);
  // psqlODBC breaks its message in two; a log entry must stay one line.
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_FALSE(st.LostConnection());
  EXPECT_FALSE(db->LostConnection());
  EXPECT_EQ(st.FieldAsString("id"), "") << "no result after a failed execution";
  // A duplicate key is a plain failure, too.
  ASSERT_TRUE(
      test::ExecAll(*db, {"CREATE TABLE u (id INTEGER PRIMARY KEY)", "INSERT INTO u VALUES (1)"}));
  EXPECT_FALSE(st.Exec("INSERT INTO u VALUES (1)"));
  EXPECT_FALSE(st.ErrorText().empty());
  EXPECT_FALSE(st.LostConnection());
}

TEST_P(Statement, StatementsOnOneConnectionKeepTheirOwnResults) {
  TODBCStatement a(*db), b(*db, caReadOnly);
  ASSERT_TRUE(a.Exec("SELECT id FROM kinds ORDER BY id"));
  ASSERT_TRUE(b.Exec("SELECT name FROM kinds WHERE id = 7"));
  EXPECT_EQ(a.FieldAsInteger("id"), 7);
  EXPECT_EQ(b.FieldAsString("name"), "Blue Lot");
  ASSERT_TRUE(a.Skip());
  EXPECT_EQ(a.FieldAsInteger("id"), 8);
  EXPECT_EQ(b.FieldAsString("name"), "Blue Lot");
}

// A cursor walks the staged rows in order while other statements on the same connection
// read, write and delete the row it stands on, as the future-card pass does. Every row must
// be visited exactly once, with or without a commit after each row.
class CursorWalk : public test::TDbTest {
 protected:
  void Walk(TODBC& c, bool commitEachRow) {
    std::vector<std::string> setup = {
        "CREATE TABLE staged (id INTEGER PRIMARY KEY, number VARCHAR(20), cmd VARCHAR(4))",
        "CREATE TABLE card (number VARCHAR(20) PRIMARY KEY, debit INTEGER)"};
    for (int i = 1; i <= kRows; ++i) {
      setup.push_back("INSERT INTO staged VALUES (" + std::to_string(i) + ", '" +
                      std::to_string(1000 + i % 7) + "', 'A')");
    }
    ASSERT_TRUE(test::ExecAll(c, setup));
    if (commitEachRow) {
      ASSERT_TRUE(c.EndTrans(true));
    }

    std::vector<int> visited;
    TODBCStatement walk(c), look(c), write(c), remove(c);
    for (bool more = walk.Exec("SELECT * FROM staged ORDER BY id").Ok(); more;
         more = walk.Skip().Ok()) {
      const int id = walk.FieldAsInteger("id");
      visited.push_back(id);
      const std::string number = walk.FieldAsString("number");
      const bool exists = look.Exec("SELECT debit FROM card WHERE number = '" + number + "'").Ok();
      ASSERT_TRUE(
          exists ? write.Exec("UPDATE card SET debit = debit + 1 WHERE number = '" + number + "'")
                 : write.Exec("INSERT INTO card VALUES ('" + number + "', 1)"))
          << write.ErrorText();
      ASSERT_TRUE(remove.ExecFmt("DELETE FROM staged WHERE id = %d", id)) << remove.ErrorText();
      if (commitEachRow) {
        ASSERT_TRUE(c.EndTrans(true));
      }
    }
    EXPECT_EQ(walk.ErrorText(), "");
    std::vector<int> expected(kRows);
    for (int i = 0; i < kRows; ++i) expected[i] = i + 1;
    EXPECT_EQ(visited, expected);
    EXPECT_EQ(test::QueryText(c, "SELECT COUNT(*) FROM staged"), "0");
    EXPECT_EQ(test::QueryText(c, "SELECT SUM(debit) FROM card"), std::to_string(kRows));
  }
  static constexpr int kRows = 60;
};

TEST_P(CursorWalk, AutoCommitVisitsEveryRowOnce) {
  Walk(*db, false);
}

TEST_P(CursorWalk, CommitAfterEveryRowVisitsEveryRowOnce) {
  auto manual = Connect(true);
  Walk(*manual, true);
}

// As in the service, whose main thread keeps its event loop alive while statements run.
TEST_P(CursorWalk, ThroughTheWorkerWithAWaitHookSet) {
  SetExecWaitHook([] {});
  Walk(*db, false);
  SetExecWaitHook(nullptr);
}

TEST_P(CursorWalk, ReadOnlyStatementNextToTheWalk) {
  TODBCStatement settings(*db, caReadOnly);
  ASSERT_TRUE(settings.Valid());
  Walk(*db, false);
}

// The wait hook runs on the calling thread while a long statement runs on the worker.
TEST_P(Statement, WaitHookRunsWhileALongStatementRuns) {
  const std::thread::id caller = std::this_thread::get_id();
  int calls = 0;
  bool otherThread = false;
  bool workerBusy = true;
  SetExecWaitHook([&] {
    ++calls;
    otherThread |= std::this_thread::get_id() != caller;
    workerBusy &= db->IdleWorker() == nullptr;  // a statement run here needs another thread
  });
  TODBCStatement st(*db);
  const auto start = std::chrono::steady_clock::now();
  const bool ok =
      st.Exec(IsSqlite() ? "SELECT (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                           "FROM c WHERE x < 3000000) SELECT COUNT(*) FROM c) AS n"
                 : IsPostgres() ? "SELECT 0 AS n FROM pg_sleep(0.4)"
                                : "SELECT SLEEP(0.4) AS n")
          .Ok();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  SetExecWaitHook(nullptr);
  ASSERT_TRUE(ok) << st.ErrorText();
  EXPECT_EQ(st.FieldAsString("n"), IsSqlite() ? "3000000" : "0");
  EXPECT_FALSE(otherThread);
  if (ms >= 150) {
    EXPECT_GE(calls, 1) << ms << " ms";
  }
  EXPECT_LE(calls, ms / 50 + 1) << "at most one call per 50 ms";
  EXPECT_TRUE(workerBusy);
  // One thread for all statements of the connection: one per statement cost more than an INSERT.
  TStatementWorker* const worker = db->IdleWorker();
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(db->IdleWorker(), worker);
}

FW_ON_EVERY_DRIVER(Statement);
FW_ON_EVERY_DRIVER(CursorWalk);

// MariaDB's dynamic-cursor option re-reads the table under a dynamic cursor and skips rows
// after deletes; the statement layer keeps such connections on forward-only cursors.
TEST(CursorWalkMariaDb, DynamicCursorOptionStillVisitsEveryRow) {
  std::string error;
  auto database = test::TTestDatabase::Create(test::TTestDriver::kMariaDb, error);
  ASSERT_TRUE(database) << error;
  test::TDbParams p = database->Params();
  p.options += ";OPTION=32";
  TODBC c;
  ASSERT_TRUE(p.Connect(c, false)) << c.LastError();
  ASSERT_TRUE(test::ExecAll(c, {"CREATE TABLE staged (id INTEGER PRIMARY KEY)",
                                "INSERT INTO staged VALUES (1), (2), (3), (4), (5), (6)"}));
  TODBCStatement walk(c), remove(c);
  SQLULEN cursor = 0;
  OdbcApi.SQLGetStmtAttr(walk.Handle(), SQL_ATTR_CURSOR_TYPE, &cursor, 0, nullptr);
  EXPECT_EQ(cursor, static_cast<SQLULEN>(SQL_CURSOR_FORWARD_ONLY));
  int visited = 0;
  for (bool more = walk.Exec("SELECT id FROM staged ORDER BY id").Ok(); more;
       more = walk.Skip().Ok()) {
    ++visited;
    ASSERT_TRUE(remove.ExecFmt("DELETE FROM staged WHERE id = %d", walk.FieldAsInteger("id")));
  }
  EXPECT_EQ(visited, 6);
}

}  // namespace
}  // namespace fw

// Bound card rows on every driver: a row the database refuses is named by its line wherever it
// stands in a batch, and texts that mean something to SQL are stored exactly as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/bulk_insert.h"
#include "db/statement.h"
#include "intake/card_file.h"
#include "intake/card_intake.h"
#include "intake/reject_report.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

class Bulk : public ::testing::TestWithParam<TTestDb> {};

std::string CardLine(size_t number, const std::string& descr, const std::string& last = "Last") {
  return "A," + std::to_string(1000 + number) + ",Day," + descr +
         ",0930,20240101,2359,20251231,1,North," + last +
         ",First,Street 1,Leeds,LS1,0111,0222,AB12,,x,m1,m2,m3,m4\r\n";
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_P(Bulk, ARefusedRowAnywhereInABatchIsNamedByItsLine) {
  TIntakeEnv env(GetParam());
  ASSERT_TRUE(env.Ok());
  env.Intake().Folders.errors = env.errors;
  env.AddCardType("Day", false, false);
  if (GetParam() == tdSqlite) {
    env.Exec("CREATE TRIGGER descr_limit BEFORE INSERT ON futurecard WHEN length(NEW.descr) > "
             "255 BEGIN SELECT RAISE(ABORT, 'value too long for descr'); END");
  }
  // A full batch and part of the next; the row count of a batch follows the driver.
  const size_t batch = BoundInsertRows(env.stagingDb.DriverKind(), CardColumns.size() - 3);
  const size_t rows = batch + 3;
  for (const size_t bad : {size_t{0}, size_t{1}, batch / 2, batch - 1, batch, rows - 1}) {
    std::string contents;
    for (size_t i = 0; i < rows; ++i) {
      contents += CardLine(i, i == bad ? std::string(300, 'd') : "Desk " + std::to_string(i));
    }
    const std::string name = "bad" + std::to_string(bad) + ".csv";
    const int errorsBefore = env.LogCount("Error \"");
    EXPECT_EQ(env.Intake().ProcessCardFile(env.Drop(name, contents)), foRejected) << bad;
    EXPECT_EQ(env.LogCount("Error \""), errorsBefore + 1) << bad;
    const std::string report = ReadFileBytes(env.errors + "/" + RejectReportName(name));
    EXPECT_EQ(CountOf(report, "Line "), 1u) << report;
    EXPECT_EQ(CountOf(report, "Line " + std::to_string(bad + 1) + ": "), 1u) << report;
    EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "0") << bad;
  }
  std::string clean;
  for (size_t i = 0; i < rows; ++i) clean += CardLine(i, "Desk " + std::to_string(i));
  EXPECT_EQ(env.Intake().ProcessCardFile(env.Drop("clean.csv", clean)), foStaged);
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), std::to_string(rows));
  EXPECT_EQ(env.Scalar("SELECT descr FROM futurecard WHERE number = " +
                       std::to_string(1000 + rows - 1)),
            "Desk " + std::to_string(rows - 1));
}

TEST_P(Bulk, TextsAreStoredAsWrittenInBatchesAndLineByLine) {
  const std::vector<std::string> texts = {
      "O'Hare",       "''",           "back\\slash", "ends in\\",  "\\",
      "\\N",          "$$x$$",        "$a$ b $a$",   "-- not a comment", "/* nor this */",
      "a; DROP TABLE card", "'); --",  "\\'",        "say \"hi\"", "Zoë ñ € 日本",
      "?",            "? :a $1",      "%s %d",       "{ts '2024-01-01 00:00:00'}"};
  // The servers' other quoting: backslashes as plain characters on MariaDB, as escapes in
  // string literals on PostgreSQL. Bound values mean the same under either.
  const std::string otherQuoting =
      GetParam() == tdMariaDb ? "SET SESSION sql_mode = CONCAT(@@sql_mode, "
                                "',NO_BACKSLASH_ESCAPES,ANSI_QUOTES')"
      : GetParam() == tdPostgres ? "SET standard_conforming_strings = off"
                                 : "";
  for (const int run : {0, 1, 2}) {
    const bool batched = run != 1;
    if (run == 2 && otherQuoting.empty()) continue;
    SCOPED_TRACE(run == 2 ? otherQuoting : batched ? "batched" : "line by line");
    TIntakeEnv env(GetParam());
    ASSERT_TRUE(env.Ok());
    env.Intake().SetBatched(batched);
    if (run == 2) {
      TODBCStatement set(env.stagingDb);
      ASSERT_TRUE(set.Exec(otherQuoting).Ok()) << set.ErrorText();
    }
    env.AddCardType("Day", false, false);
    std::string contents;
    for (size_t i = 0; i < texts.size(); ++i) contents += CardLine(i, texts[i], texts[i]);
    // A number with leading zeros is the number, one without any is no number at all.
    contents += "A,007,Day,zeros\r\nA,,Day,none\r\n";
    ASSERT_EQ(env.Intake().ProcessCardFile(env.Drop("texts.csv", contents)), foStaged)
        << env.LogText();
    for (size_t i = 0; i < texts.size(); ++i) {
      const std::vector<TRow> rows = env.Query(
          "SELECT descr, last_name FROM futurecard WHERE number = " + std::to_string(1000 + i));
      ASSERT_EQ(rows.size(), 1u) << texts[i];
      EXPECT_EQ(rows[0].at("descr"), texts[i]) << "batched " << batched;
      EXPECT_EQ(rows[0].at("last_name"), texts[i]) << "batched " << batched;
    }
    EXPECT_EQ(env.Scalar("SELECT descr FROM futurecard WHERE number = 7"), "zeros");
    EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard WHERE number IS NULL"), "1");
  }
}

FW_ON_EVERY_DRIVER(Bulk);

}  // namespace
}  // namespace fw::test

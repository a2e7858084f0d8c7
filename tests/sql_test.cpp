#include "db/sql.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/fixed_clock.h"

namespace fw {
namespace {

using test::At;

TEST(Sql, BuildsTheUpdateAndInsertOfTheBlueLot) {
  TSql sql(dkGeneric);
  sql.AddField("name", "Blue Lot", tuText);
  sql.AddInteger("max_inlot", 40);
  EXPECT_EQ(sql.UpdateText("UPDATE card_pool", "WHERE id = 12").Rendered(),
            "UPDATE card_pool set name='Blue Lot', max_inlot=40 WHERE id = 12");
  sql.AddInteger("cur_inlot", 0);
  EXPECT_EQ(sql.InsertText("INSERT INTO card_pool", "Values").Rendered(),
            "INSERT INTO card_pool (name, max_inlot, cur_inlot) Values ('Blue Lot', 40, 0)");
}

TEST(Sql, FramesWithoutFields) {
  TSql sql(dkGeneric);
  EXPECT_EQ(sql.UpdateText("UPDATE t", "WHERE x = 1").Rendered(), "UPDATE t set  WHERE x = 1");
  EXPECT_EQ(sql.UpdateText("UPDATE t", "").Rendered(), "UPDATE t set ");
  EXPECT_EQ(sql.InsertText("INSERT INTO t", "Values", ";").Rendered(),
            "INSERT INTO t () Values ();");
}

TEST(Sql, WhereClauseIsAppendedUnchanged) {
  TSql sql(dkGeneric);
  sql.AddInteger("in_lot", 0);
  EXPECT_EQ(sql.UpdateText("UPDATE card", "").Rendered(), "UPDATE card set in_lot=0");
  EXPECT_EQ(sql.UpdateText("UPDATE card", " WHERE number = 1234").Rendered(),
            "UPDATE card set in_lot=0  WHERE number = 1234");
}

TEST(Sql, FirstValueOfANameStandsUnlessDuplicatesAreAllowed) {
  TSql sql(dkGeneric);
  EXPECT_FALSE(sql.AllowDuplicates());
  EXPECT_EQ(sql.AddField("number", "1", tuWholeNumber), 0);
  EXPECT_EQ(sql.AddField("Number", "2", tuWholeNumber), 0);  // letter case does not matter
  EXPECT_EQ(sql.AddInteger("NUMBER", 3), 0);
  EXPECT_EQ(sql.Count(), 1u);
  EXPECT_EQ(sql.InsertText("INSERT INTO t", "Values").Rendered(),
            "INSERT INTO t (number) Values (1)");

  sql.Clear(true);
  EXPECT_TRUE(sql.AllowDuplicates());
  EXPECT_EQ(sql.AddField("number", "1", tuWholeNumber), 0);
  EXPECT_EQ(sql.AddField("Number", "2", tuWholeNumber), 1);
  EXPECT_EQ(sql.IndexOfField("NUMBER"), 0);
  EXPECT_EQ(sql.IndexOfField("missing"), -1);
  EXPECT_EQ(sql.UpdateText("UPDATE t", "").Rendered(), "UPDATE t set number=1, number=2");

  sql.Clear();
  EXPECT_FALSE(sql.AllowDuplicates());
  EXPECT_EQ(sql.Count(), 0u);
}

TEST(Sql, ValuesAreTrimmedNulledQuotedAndEscaped) {
  const struct {
    TDriverKind kind;
    const char* value;
    TTextUse use;
    const char* written;
  } cases[] = {
      {dkGeneric, "", tuWholeNumber, "null"},
      {dkGeneric, " \t\r\n", tuWholeNumber, "null"},
      {dkGeneric, "", tuText, "''"},
      {dkGeneric, "   ", tuText, "''"},
      {dkGeneric, "  Blue Lot\t", tuText, "'Blue Lot'"},
      {dkGeneric, "\x01x\x1f", tuText, "'x'"},
      {dkGeneric, "O'Brien", tuText, "'O''Brien'"},
      {dkGeneric, "a\\b", tuText, "'a\\b'"},
      {dkMySql, "a\\b", tuText, "'a\\\\b'"},
      {dkMySql, "O'Brien", tuText, "'O''Brien'"},
      {dkMySql, "\\'", tuText, "'\\\\'''"},  // quotes doubled first, then backslashes
      {dkSqlServer, "a\\b", tuText, "'a\\b'"},
      {dkGeneric, "1234", tuWholeNumber, "1234"},
      {dkGeneric, " 12 ", tuWholeNumber, "12"},
      {dkMySql, "a'b\\c", tuWholeNumber, "a'b\\c"},         // shown as it is, bound as a number
      {dkGeneric, "caf\xc3\xa9", tuText, "'caf\xc3\xa9'"},  // bytes above 127 are not blanks
  };
  for (const auto& c : cases) {
    TSql sql(c.kind);
    sql.AddField("v", c.value, c.use);
    EXPECT_EQ(sql.UpdateText("U", "").Rendered(), std::string("U set v=") + c.written)
        << "value: " << testing::PrintToString(std::string(c.value));
  }
}

TEST(Sql, EscapeAndQuotedValue) {
  EXPECT_EQ(EscapeText("it's a\\b", dkGeneric), "it''s a\\b");
  EXPECT_EQ(EscapeText("it's a\\b", dkMySql), "it''s a\\\\b");
  EXPECT_EQ(TSqlValue::Text(" x' ").Literal(dkMySql), "' x'' '");  // no trimming here
}

// The log shows a bound statement as it would read with its values written in.
TEST(BoundSql, RenderedPutsEachValueAtItsOwnMarker) {
  const struct {
    const char* text;
    std::vector<TSqlValue> values;
    const char* rendered;
  } cases[] = {
      {"a = ? AND b = ?", {TSqlValue::Text("x?"), TSqlValue::Integer(7)}, "a = 'x?' AND b = 7"},
      {"a = '?' AND b = ?", {TSqlValue::Number("-12")}, "a = '?' AND b = -12"},
      {"\"c?\" = ? AND d = 'it''s ?'",
       {TSqlValue::Null(svText)},
       "\"c?\" = null AND d = 'it''s ?'"},
      {"t >= ?", {TSqlValue::Timestamp(At(2024, 3, 5, 7, 30))}, "t >= {ts '2024-03-05 07:30:00'}"},
      {"a = ? AND b = ?", {TSqlValue::Text("a\\b")}, "a = 'a\\\\b' AND b = ?"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TBoundSql(c.text, c.values, dkMySql).Rendered(), c.rendered) << c.text;
  }
}

TEST(Sql, QuotesNamesWithBlanksOrHyphens) {
  const struct {
    const char* name;
    const char* written;
  } cases[] = {
      {"card number", "\"card number\""},
      {"x-ray", "\"x-ray\""},
      {"\"card number\"", "\"card number\""},
      {"number", "number"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TSql::QuoteName(c.name), c.written) << c.name;

  TSql sql(dkGeneric);
  sql.AddInteger("Card Number", 1);
  sql.AddInteger("X-Ray", 2);
  sql.AddInteger("", 3);  // even an empty name is a column entry
  EXPECT_EQ(sql.InsertText("INSERT INTO t", "Values").Rendered(),
            "INSERT INTO t (\"card number\", \"x-ray\", ) Values (1, 2, 3)");
}

TEST(Sql, IntegersAndTimestamps) {
  TSql sql(dkGeneric);
  sql.AddInteger("a", -5);
  sql.AddInteger("b", INT32_MIN);
  sql.AddDateTime("c", At(2024, 3, 5, 12, 0));
  EXPECT_EQ(sql.UpdateText("U", "").Rendered(),
            "U set a=-5, b=-2147483648, c={ts '2024-03-05 12:00:00'}");
}

TEST(TimestampLiteral, DropsFractionsAndKeepsFixedSeparators) {
  const struct {
    TDateTime value;
    const char* text;
  } cases[] = {
      {At(2024, 3, 5, 7, 30), "{ts '2024-03-05 07:30:00'}"},
      {At(2024, 5, 31, 23, 59, 59, 999), "{ts '2024-05-31 23:59:59'}"},
      {EncodeDate(2024, 5, 31) + 0.99999998, "{ts '2024-05-31 23:59:59'}"},
      {At(1, 1, 1), "{ts '0001-01-01 00:00:00'}"},
      {At(9999, 12, 31, 23, 59, 59), "{ts '9999-12-31 23:59:59'}"},
      {0, "{ts '1899-12-30 00:00:00'}"},
      {At(1899, 12, 29, 6), "{ts '1899-12-29 06:00:00'}"},
      {1e300, "{ts '1899-12-30 00:00:00'}"},
      {-1e300, "{ts '1899-12-30 00:00:00'}"},
      {std::numeric_limits<double>::quiet_NaN(), "{ts '1899-12-30 00:00:00'}"},
      {std::numeric_limits<double>::infinity(), "{ts '1899-12-30 00:00:00'}"},
  };
  for (const auto& c : cases) EXPECT_EQ(TimestampLiteral(c.value), c.text) << c.value;
}

TEST(TrimControl, RemovesCodesUpTo32AtBothEnds) {
  EXPECT_EQ(TrimControl(std::string("\0 a b \x1f", 7)), "a b");
  EXPECT_EQ(TrimControl("\x7f"), "\x7f");
  EXPECT_EQ(TrimControl(""), "");
  EXPECT_EQ(TrimControl(" \t "), "");
}

}  // namespace
}  // namespace fw

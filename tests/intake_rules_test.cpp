// The date rules of card application, the number literal and the DDL text, without a database.
#include <gtest/gtest.h>

#include "db/sql.h"
#include "intake/card_intake.h"
#include "intake/card_schema.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

std::string Text(TDateTime value) {
  return TimestampLiteral(value);
}

TDateTime At(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0) {
  return EncodeDate(y, m, d) + EncodeTime(hh, mm, ss);
}

TEST(IsNextMonth, IgnoresDaysAndYears) {
  struct Case {
    TDateTime first, second;
    bool next;
  } cases[] = {
      {At(2024, 4, 30), At(2024, 5, 31), true},   {At(2024, 12, 1), At(2025, 1, 31), true},
      {At(2020, 1, 1), At(2027, 2, 1), true},     {At(2024, 1, 31), At(2024, 5, 31), false},
      {At(2024, 5, 1), At(2024, 5, 31), false},   {At(2024, 6, 1), At(2024, 5, 31), false},
      {At(2024, 11, 30), At(2024, 12, 31), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsNextMonth(c.first, c.second), c.next) << Text(c.first) << " " << Text(c.second);
  }
}

TEST(MonthlyExpiry, WorkedExamplesInMay2024) {
  const TDateTime now = At(2024, 5, 15, 9, 30);
  struct Case {
    int32_t addValue;
    const char* expiry;
  } cases[] = {
      {5, "2024-05-31 23:59:59"},  {6, "2024-06-30 23:59:59"},   {3, "2025-03-31 23:59:59"},
      {12, "2024-12-31 23:59:59"}, {0, "2024-12-31 23:59:59"},   {13, "2025-01-31 23:59:59"},
      {4, "2025-04-30 23:59:59"},  {1, "2025-01-31 23:59:59"},   {2, "2025-02-28 23:59:59"},
      {24, "2024-12-31 23:59:59"}, {100, "2025-04-30 23:59:59"},
  };
  for (const Case& c : cases) {
    TDateTime expiry = 0;
    ASSERT_TRUE(MonthlyExpiry(now, c.addValue, expiry)) << c.addValue;
    EXPECT_EQ(Text(expiry), std::string("{ts '") + c.expiry + "'}") << c.addValue;
  }
}

TEST(MonthlyExpiry, MonthZeroIsRefused) {
  for (int32_t addValue : {23, 35, 47, 65535, -1, 131071}) {
    TDateTime expiry = 42;
    EXPECT_FALSE(MonthlyExpiry(At(2024, 5, 15), addValue, expiry)) << addValue;
    EXPECT_EQ(expiry, 42) << addValue;
  }
}

TEST(DayExpiry, BaseDependsOnStagedExpiryAndCard) {
  const TDateTime now = At(2024, 5, 15, 12);
  struct Case {
    TDateTime staged;
    bool exists;
    TDateTime card;
    int32_t add;
    const char* expiry;
  } cases[] = {
      // staged expiry in the future: it is the base, whatever the card holds
      {At(2024, 6, 1, 8), true, At(2030, 1, 1), 10, "2024-06-11 23:59:59"},
      {At(2024, 6, 1, 8), false, 0, 0, "2024-06-01 23:59:59"},
      // past (or now): the card's expiry, even a past one; a new card counts from today
      {At(2024, 5, 1), true, At(2023, 1, 10), 5, "2023-01-15 23:59:59"},
      {At(2024, 5, 1), false, 0, 30, "2024-06-14 23:59:59"},
      {now, false, 0, 1, "2024-05-16 23:59:59"},
      {At(2024, 5, 1), false, 0, -15, "2024-04-30 23:59:59"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(DayExpiry(now, c.staged, c.exists, c.card, c.add)),
              std::string("{ts '") + c.expiry + "'}")
        << Text(c.staged) << " add " << c.add;
  }
}

TEST(NumberValue, BindsPlainNumbersAsNumbersAndAnythingElseAsText) {
  const struct {
    const char* number;
    TSqlValueKind kind;
    bool null;
    const char* mysqlLog;
  } cases[] = {
      {"", svNumber, true, "null"},
      {"1234", svNumber, false, "1234"},
      {"-17", svNumber, false, "-17"},
      {"12345678901234567890", svNumber, false, "12345678901234567890"},
      {"1 OR 1=1", svText, false, "'1 OR 1=1'"},
      {"1'; DROP TABLE card; --", svText, false, "'1''; DROP TABLE card; --'"},
      {"1\\' OR 1=1", svText, false, "'1\\\\'' OR 1=1'"},
  };
  for (const auto& c : cases) {
    const TSqlValue v = NumberValue(c.number);
    EXPECT_EQ(v.kind, c.kind) << c.number;
    EXPECT_EQ(v.null, c.null) << c.number;
    if (!v.null) {
      EXPECT_EQ(v.text, c.number);
    }
    EXPECT_EQ(v.Literal(dkMySql), c.mysqlLog) << c.number;
  }
}

TEST(CardSchema, EveryDatabaseHasTheFiveTablesAndTheLedger) {
  for (const char* db : {"mysql", "sqlite", "postgres", "MySQL"}) {
    const char* ddl = CardSchemaFor(db);
    ASSERT_NE(ddl, nullptr) << db;
    const std::vector<std::string> statements = SplitSqlStatements(ddl);
    int tables = 0;
    for (const std::string& s : statements) tables += s.rfind("CREATE TABLE", 0) == 0;
    EXPECT_EQ(tables, 6) << db;
    for (const char* table :
         {"settings", "card_pool", "futurecard", "card_type", "card (", "card_file"}) {
      EXPECT_NE(std::string(ddl).find(std::string("CREATE TABLE ") + table), std::string::npos)
          << db << " " << table;
    }
  }
  EXPECT_EQ(CardSchemaFor("oracle"), nullptr);
}

TEST(CardSchema, CompiledInTextEqualsTheFiles) {
  for (const char* db : {"mysql", "sqlite", "postgres"}) {
    EXPECT_EQ(CardSchemaFor(db),
              test::ReadFileBytes(std::string(FENWOLD_SOURCE_DIR) + "/schema/" + db + ".sql"))
        << db;
  }
}

}  // namespace
}  // namespace fw

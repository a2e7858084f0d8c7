// The batched pass writes the cards of many records per statement; the same records through
// the per-record pass must come out the same.
#include <gtest/gtest.h>

#include "intake/card_intake.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

class ApplySets : public ::testing::TestWithParam<TTestDb> {};

// Hundreds of cards per statement: the id range and the statements end inside the records of
// cards, a card's later records wait for a later batch, and a row refused inside a set costs
// only its own record. Any record applied twice or lost shows in a card's debit.
TEST_P(ApplySets, CardsWrittenInSetsGetEveryRecordOnce) {
  TIntakeEnv env(GetParam());
  ASSERT_TRUE(env.Ok());
  const int debit = env.AddCardType("Debit", false, true);
  const auto debitOf = [&](const std::string& number) {
    return env.Scalar("SELECT debit_left FROM card WHERE number = " + number);
  };
  // Descriptions over 20 characters are refused by card alone (SQLite keeps text of any
  // length: a trigger holds it).
  if (GetParam() == tdSqlite) {
    for (const char* when : {"INSERT", "UPDATE"}) {
      env.Exec(std::string("CREATE TRIGGER descr_limit_") + when + " BEFORE " + when +
               " ON card WHEN length(NEW.descr) > 20 BEGIN SELECT RAISE(ABORT, 'too long'); "
               "END");
    }
  } else {
    env.Exec(GetParam() == tdMariaDb ? "ALTER TABLE card MODIFY descr VARCHAR(20)"
                                     : "ALTER TABLE card ALTER COLUMN descr TYPE VARCHAR(20)");
  }
  const std::string tooLong(30, 'x');
  const auto rows = [&](const std::string& head, int from, int to, const auto& row) {
    for (int first = from; first <= to; first += 100) {
      std::string values;
      for (int i = first; i <= to && i < first + 100; ++i)
        values += (i > first ? ", " : "") + row(i);
      env.Exec(head + values);
    }
  };
  rows("INSERT INTO card (number, type_id, debit_left, in_lot) VALUES ", 1, 700,
       [&](int i) { return "(" + std::to_string(i) + ", " + std::to_string(debit) + ", 0, 1)"; });
  const std::string staging =
      "INSERT INTO futurecard (command, number, card_type, add_value, "
      "descr) VALUES ";
  const auto topUp = [&](int add, int refused) {
    return [=, &tooLong](int i) {
      return "('C', " + std::to_string(i) + ", 'Debit', " + std::to_string(add) + ", '" +
             (i == refused ? tooLong : "d") + "')";
    };
  };
  // Above 2^53: compared as doubles, the two would be one card.
  const std::string big[] = {"9007199254740992", "9007199254740993"};
  for (const std::string& number : big) {
    env.Exec("INSERT INTO card (number, type_id, debit_left, in_lot) VALUES (" + number + ", " +
             std::to_string(debit) + ", 0, 1)");
  }
  rows(staging, 1, 700, topUp(1, 350));  // ids 1-700: one set, one row refused
  env.Exec(staging + "('C', " + big[0] + ", 'Debit', 1, 'd'), ('C', " + big[1] +
           ", 'Debit', 2, 'd')");
  rows(staging, 1, 700, topUp(10, 0));        // the id range ends at 1000 inside these
  rows(staging, 1001, 1450, topUp(1, 1200));  // new cards, more than one INSERT takes
  rows(staging, 5, 9, [](int) { return std::string("('C', 5, 'Debit', 100, '')"); });
  EXPECT_EQ(env.Intake().ProcessFutureCards(), poDone);

  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "0");
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM card WHERE number <= 700 AND number NOT IN (5, "
                       "350) AND debit_left = 11"),
            "698");
  EXPECT_EQ(debitOf("350"), "10");
  EXPECT_EQ(debitOf("5"), "511");
  EXPECT_EQ(
      env.Scalar("SELECT COUNT(*) FROM card WHERE number BETWEEN 1001 AND 1450 AND debit_left = 1"),
      "449");
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM card WHERE number = 1200"), "0");
  EXPECT_EQ(debitOf(big[0]), "1");
  EXPECT_EQ(debitOf(big[1]), "2");
  EXPECT_EQ(env.LogCount("SQL err: UPDATE card"), 1);
  EXPECT_EQ(env.LogCount("SQL err: INSERT INTO card"), 1);
}

FW_ON_EVERY_DRIVER(ApplySets);

}  // namespace
}  // namespace fw::test

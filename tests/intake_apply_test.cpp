// The future-card pass and the application of staged records, on SQLite and MariaDB, with
// "now" set through the clock seam.
#include <gtest/gtest.h>

#include "db/odbc.h"
#include "intake/card_intake.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

class Apply : public ::testing::TestWithParam<TTestDb> {
 protected:
  void SetUp() override {
    env_ = std::make_unique<TIntakeEnv>(GetParam());
    if (!env_->Ok()) GTEST_FAIL() << "no database";
    day_ = env_->AddCardType("Day", false, false);
    debit_ = env_->AddCardType("Debit", false, true);
    monthly_ = env_->AddCardType("Monthly", true, false);
    global_ = env_->AddCardType("Global", true, false, true);
    inactive_ = env_->AddCardType("Inactive", false, false);
    env_->Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('Blue', 10, 0)");
    blue_ = env_->Scalar("SELECT id FROM card_pool WHERE name = 'Blue'");
  }

  TIntakeEnv& Env() { return *env_; }

  // Stages one record directly; times as "yyyy-mm-dd hh:nn:ss", empty for NULL.
  void Stage(const std::string& command, const std::string& number, const std::string& type,
             const std::string& start, const std::string& expiry, int addValue,
             const std::string& group = "", const std::string& descr = "") {
    const auto ts = [](const std::string& t) {
      return t.empty() ? std::string("NULL") : "{ts '" + t + "'}";
    };
    Env().Exec(
        "INSERT INTO futurecard (command, number, card_type, start_dt, exp_iry, add_value, "
        "group_name, descr) VALUES ('" +
        command + "', " + number + ", '" + type + "', " + ts(start) + ", " + ts(expiry) + ", " +
        std::to_string(addValue) + ", '" + group + "', '" + descr + "')");
  }
  void AddCard(const std::string& number, int type, const std::string& start,
               const std::string& expiry, int debit = 0, const std::string& descr = "kept") {
    Env().Exec(
        "INSERT INTO card (number, type_id, start_dt, exp_iry, debit_left, in_lot, descr, "
        "last_name) VALUES (" +
        number + ", " + std::to_string(type) + ", {ts '" + start + "'}, {ts '" + expiry + "'}, " +
        std::to_string(debit) + ", 1, '" + descr + "', 'Smith')");
  }
  TRow Card(const std::string& number) {
    const auto rows = Env().Query("SELECT * FROM card WHERE number = " + number);
    return rows.empty() ? TRow{} : rows[0];
  }
  std::string Staged() { return Env().Scalar("SELECT COUNT(*) FROM futurecard"); }
  void Pass() { EXPECT_EQ(Env().Intake().ProcessFutureCards(), poDone); }

  std::unique_ptr<TIntakeEnv> env_;
  int day_ = 0, debit_ = 0, monthly_ = 0, global_ = 0, inactive_ = 0;
  std::string blue_;
};

TEST_P(Apply, CommandsBeginningWithAOrCInAnyCaseAreApplied) {
  struct Case {
    const char* command;
    bool applied;
  } cases[] = {{"add", true},     {"Change", true}, {"a", true}, {"C", true},
               {"Delete", false}, {"x", false},     {"", false}, {"1A", false}};
  int number = 100;
  for (const Case& c : cases) Stage(c.command, std::to_string(number++), "Day", "", "", 1);
  Pass();
  number = 100;
  for (const Case& c : cases) {
    const std::string n = std::to_string(number++);
    EXPECT_EQ(!Card(n).empty(), c.applied) << c.command;
    EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM futurecard WHERE number = " + n),
              c.applied ? "0" : "1")
        << c.command;
  }
  Pass();  // the others stay, pass after pass
  EXPECT_EQ(Staged(), "4");
  EXPECT_EQ(Env().LogText().find("Error"), std::string::npos);
}

TEST_P(Apply, DueRecordsAndRecordsForNewCardsAreApplied) {
  AddCard("1", day_, "2024-01-01 00:00:00", "2024-12-31 23:59:59");
  AddCard("2", day_, "2024-01-01 00:00:00", "2024-12-31 23:59:59");
  Stage("C", "1", "", "2024-05-22 00:00:00", "", 0, "", "next week");     // existing, not due
  Stage("C", "2", "", "2024-05-15 12:00:00", "", 0, "", "this instant");  // not strictly later
  Stage("A", "3", "Day", "2024-05-22 00:00:00", "", 0, "", "new card");   // new: applied at once
  Stage("X", "2", "", "2024-05-01 00:00:00", "", 0, "", "never");         // due, stays staged
  Pass();
  EXPECT_EQ(Card("1").at("descr"), "kept");
  EXPECT_EQ(Card("2").at("descr"), "kept");
  EXPECT_EQ(Card("3").at("descr"), "new card");
  EXPECT_EQ(Card("3").at("start_dt"), "2024-05-22 00:00:00");
  EXPECT_EQ(Staged(), "3");
  // The next pass is due at the earliest start that is still to come; a record that is due
  // but stays (its command) waits for nothing.
  EXPECT_EQ(Env().Intake().Tally.nextStart, At(2024, 5, 15, 12));

  Env().clock.Set(At(2024, 5, 22, 0, 0, 1));
  Pass();
  EXPECT_EQ(Card("1").at("descr"), "next week");
  EXPECT_EQ(Card("2").at("descr"), "this instant");
  EXPECT_EQ(Staged(), "1");
  EXPECT_EQ(Env().Intake().Tally.nextStart, 0);
}

TEST_P(Apply, TypeAndGroupResolution) {
  AddCard("10", debit_, "2024-01-01 00:00:00", "2024-12-31 23:59:59", 7);
  Stage("A", "1", "", "", "", 0);                // new card without type
  Stage("A", "2", "Nosuch", "", "", 0);          // new card, unknown type
  Stage("A", "3", "day", "", "", 0, "Nowhere");  // unknown group: written without one
  Stage("A", "4", "DAY", "", "", 0, "Blue");
  Stage("C", "10", "", "", "", 3);  // existing card, no type: its own type (debit) counts
  Pass();
  EXPECT_EQ(Env().LogCount("A card type must be supplied for a non-existant card with number of 1"),
            1);
  EXPECT_EQ(Env().LogCount("Non-existant card type NOSUCH"), 1);
  EXPECT_EQ(Env().LogCount("Warning! Invalid group name for card 3"), 1);
  EXPECT_TRUE(Card("1").empty());
  EXPECT_TRUE(Card("2").empty());
  EXPECT_EQ(Card("3").at("type_id"), std::to_string(day_));
  EXPECT_EQ(Card("3").at("group_id"), "");
  EXPECT_EQ(Card("4").at("group_id"), blue_);
  EXPECT_EQ(Card("10").at("type_id"), std::to_string(debit_));
  EXPECT_EQ(Card("10").at("debit_left"), "10");
  EXPECT_EQ(Staged(), "0") << "refused records are deleted too";
}

TEST_P(Apply, ExistingCardWithUnknownTypeNameKeepsItsTypeAndReadsNoFlags) {
  AddCard("5", monthly_, "2024-01-01 00:00:00", "2024-04-30 23:59:59");
  Stage("C", "5", "Nosuch", "2024-05-01 08:00:00", "2024-06-01 00:00:00", 3);
  Pass();
  const TRow card = Card("5");
  EXPECT_EQ(card.at("type_id"), std::to_string(monthly_));
  EXPECT_EQ(card.at("start_dt"), "2024-05-01 08:00:00") << "not monthly: staged start";
  EXPECT_EQ(card.at("exp_iry"), "2024-06-04 23:59:59") << "day rule";
  EXPECT_EQ(Env().LogText().find("Non-existant"), std::string::npos);
}

TEST_P(Apply, DebitRule) {
  AddCard("1", debit_, "2024-01-01 00:00:00", "2024-12-31 23:59:59", 10);
  Stage("C", "1", "Debit", "", "2030-01-01 00:00:00", 5);
  Stage("A", "2", "debit", "", "", -3);
  Stage("A", "3", "Debit", "", "2024-06-01 00:00:00", 0);  // 0 falls to the day rule
  Pass();
  EXPECT_EQ(Card("1").at("debit_left"), "15");
  EXPECT_EQ(Card("1").at("exp_iry"), "2024-12-31 23:59:59") << "no expiry written";
  EXPECT_EQ(Card("2").at("debit_left"), "-3");
  EXPECT_EQ(Card("3").at("debit_left"), "0");
  EXPECT_EQ(Card("3").at("exp_iry"), "2024-06-01 23:59:59");
}

TEST_P(Apply, MonthlyRuleWorkedExamples) {
  // Now is 15 May 2024, noon.
  struct Case {
    int addValue;
    const char* expiry;
  } cases[] = {{5, "2024-05-31 23:59:59"}, {6, "2024-06-30 23:59:59"},
               {3, "2025-03-31 23:59:59"}, {12, "2024-12-31 23:59:59"},
               {0, "2024-12-31 23:59:59"}, {13, "2025-01-31 23:59:59"}};
  int number = 200;
  for (const Case& c : cases) Stage("A", std::to_string(number++), "Monthly", "", "", c.addValue);
  Pass();
  number = 200;
  for (const Case& c : cases) {
    const TRow card = Card(std::to_string(number++));
    ASSERT_FALSE(card.empty()) << c.addValue;
    EXPECT_EQ(card.at("exp_iry"), c.expiry) << c.addValue;
  }
  // A new card's old expiry is now (May): May 31 follows no month, June 30 follows May.
  EXPECT_EQ(Card("200").at("start_dt"), "2024-05-01 00:00:00");
  EXPECT_EQ(Card("201").at("start_dt"), "");
}

TEST_P(Apply, MonthlyRenewalKeepsOrMovesTheStartDate) {
  AddCard("1", monthly_, "2024-04-01 00:00:00", "2024-04-30 23:59:59");
  AddCard("2", monthly_, "2024-01-01 00:00:00", "2024-01-31 23:59:59");
  AddCard("3", global_, "2024-01-01 00:00:00", "2024-01-31 23:59:59");
  Stage("C", "1", "Monthly", "2024-05-01 00:00:00", "", 5);
  Stage("C", "2", "Monthly", "2024-05-01 00:00:00", "", 5);
  Stage("C", "3", "Global", "2024-05-01 00:00:00", "2024-05-20 10:00:00", 2);
  Pass();
  EXPECT_EQ(Card("1").at("start_dt"), "2024-04-01 00:00:00");
  EXPECT_EQ(Card("1").at("exp_iry"), "2024-05-31 23:59:59");
  EXPECT_EQ(Card("2").at("start_dt"), "2024-05-01 00:00:00");
  EXPECT_EQ(Card("2").at("exp_iry"), "2024-05-31 23:59:59");
  // Monthly with a global expiry: the day rule, and no start date written (monthly flag set).
  EXPECT_EQ(Card("3").at("start_dt"), "2024-01-01 00:00:00");
  EXPECT_EQ(Card("3").at("exp_iry"), "2024-05-22 23:59:59");
}

TEST_P(Apply, MonthZeroIsLoggedDeletedAndThePassGoesOn) {
  AddCard("1", monthly_, "2024-04-01 00:00:00", "2024-04-30 23:59:59");
  Stage("C", "1", "Monthly", "2024-05-01 00:00:00", "", 23);
  Stage("A", "2", "Monthly", "", "", 65535);
  Stage("A", "3", "Monthly", "", "", 6);
  Pass();
  EXPECT_EQ(Env().LogCount("Invalid month 23 for card 1"), 1);
  EXPECT_EQ(Env().LogCount("Invalid month 65535 for card 2"), 1);
  EXPECT_EQ(Card("1").at("exp_iry"), "2024-04-30 23:59:59");
  EXPECT_TRUE(Card("2").empty());
  EXPECT_EQ(Card("3").at("exp_iry"), "2024-06-30 23:59:59");
  EXPECT_EQ(Staged(), "0");
}

TEST_P(Apply, DayRule) {
  AddCard("1", day_, "2024-01-01 00:00:00", "2024-03-31 23:59:59");
  AddCard("2", day_, "2024-01-01 00:00:00", "2030-03-31 23:59:59");
  Stage("C", "1", "Day", "2024-05-01 00:00:00", "2024-05-01 00:00:00", 10);  // past: card + 10
  Stage("C", "2", "Day", "2024-05-01 00:00:00", "2024-07-01 09:00:00", 10);  // future: staged + 10
  Stage("A", "3", "Day", "2024-05-01 00:00:00", "2024-05-01 00:00:00", 10);  // new, past: today
  Stage("A", "4", "Day", "2024-05-01 00:00:00", "", 0);                      // NULL expiry
  Pass();
  EXPECT_EQ(Card("1").at("exp_iry"), "2024-04-10 23:59:59");
  EXPECT_EQ(Card("2").at("exp_iry"), "2024-07-11 23:59:59");
  EXPECT_EQ(Card("3").at("exp_iry"), "2024-05-25 23:59:59");
  EXPECT_EQ(Card("3").at("start_dt"), "2024-05-01 00:00:00");
  EXPECT_EQ(Card("4").at("exp_iry"), "2024-05-15 23:59:59");
}

TEST_P(Apply, InactiveZeroesTheDebitUnlessTheDebitRuleSetIt) {
  AddCard("1", debit_, "2024-01-01 00:00:00", "2024-12-31 23:59:59", 50);
  AddCard("2", debit_, "2024-01-01 00:00:00", "2024-12-31 23:59:59", 50);
  Stage("C", "1", "inactive", "", "", 0);
  Stage("C", "2", "INACTIVE", "", "", 0);
  Pass();
  EXPECT_EQ(Card("1").at("debit_left"), "0");
  EXPECT_EQ(Card("1").at("type_id"), std::to_string(inactive_));
  EXPECT_EQ(Card("1").at("in_lot"), "0");

  // A debit type named INACTIVE: the debit rule wins.
  Env().Exec("UPDATE card_type SET debit_flg = 1 WHERE name = 'Inactive'");
  Stage("C", "2", "Inactive", "", "", 4);
  Pass();
  EXPECT_EQ(Card("2").at("debit_left"), "4");
}

TEST_P(Apply, UpdateKeepsStoredTextsInsertStoresEmptyOnes) {
  AddCard("1", day_, "2024-01-01 00:00:00", "2024-12-31 23:59:59", 0, "desk");
  Stage("C", "1", "Day", "", "", 0, "", "");
  Stage("A", "2", "Day", "", "", 0, "", "");
  Pass();
  EXPECT_EQ(Card("1").at("descr"), "desk");
  EXPECT_EQ(Card("1").at("last_name"), "Smith");
  EXPECT_EQ(Card("1").at("in_lot"), "0");
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card WHERE number = 2 AND descr = '' AND "
                         "misc_4 = '' AND last_name = ''"),
            "1");
}

TEST_P(Apply, TwoRecordsForOneCardApplyInIdOrder) {
  Stage("A", "1", "Debit", "", "", 5, "", "first");
  Stage("C", "1", "Debit", "", "", 7, "", "second");
  Stage("C", "1", "Debit", "", "", 0, "", "");
  Pass();
  EXPECT_EQ(Card("1").at("descr"), "second");
  EXPECT_EQ(Card("1").at("debit_left"), "12");
  EXPECT_EQ(Staged(), "0");
}

TEST_P(Apply, FailedWriteIsLoggedAndStillDeletesItsRecord) {
  // A card table without misc_4 makes every insert of a new card fail.
  Env().Exec("DROP TABLE card");
  const std::string stamp = DateTimeType(GetParam());
  Env().Exec("CREATE TABLE card (number DECIMAL(20,0), type_id INTEGER, start_dt " + stamp +
             ", exp_iry " + stamp + ", debit_left INTEGER, in_lot INTEGER, descr VARCHAR(50))");
  Stage("A", "1", "Day", "", "", 0, "", "d");
  Stage("A", "2", "Day", "", "", 0, "", "d");
  Pass();
  EXPECT_EQ(Env().LogCount("SQL err: INSERT INTO card (type_id, start_dt, number, exp_iry, descr"),
            2);
  EXPECT_EQ(Staged(), "0");
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card"), "0");
}

TEST_P(Apply, CursorWalksEveryRecordOnceAcrossTheCommits) {
  for (int i = 1; i <= 40; ++i) Stage("A", std::to_string(i), "Debit", "", "", 1);
  for (int i = 1; i <= 40; ++i) Stage("C", std::to_string(i), "Debit", "", "", 1);
  Pass();
  EXPECT_EQ(Staged(), "0");
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card WHERE debit_left = 2"), "40");
}

TEST_P(Apply, WalkCrossesIdRangesAndGaps) {
  const long long ids[] = {1, 2, 999, 1000, 1001, 2000, 2001, 7500, 1000000, 1000001};
  int number = 1;
  for (long long id : ids) {
    Env().Exec("INSERT INTO futurecard (id, command, number, card_type, add_value) VALUES (" +
               std::to_string(id) + ", 'A', " + std::to_string(number++) + ", 'Debit', 1)");
  }
  if (GetParam() == tdPostgres) {  // explicit ids leave an identity's sequence behind
    Env().Scalar("SELECT setval(pg_get_serial_sequence('futurecard', 'id'), MAX(id)) "
                 "FROM futurecard");
  }
  Stage("C", "1", "Debit", "", "", 1);  // above the gaps, in the last range
  Pass();
  EXPECT_EQ(Staged(), "0");
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card"), "10");
  EXPECT_EQ(Card("1").at("debit_left"), "2");
}

TEST_P(Apply, EmptyTableNothingHappens) {
  Pass();
  EXPECT_EQ(Env().LogText().find("card"), std::string::npos);
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card"), "0");
}

TEST_P(Apply, QuotesAndBackslashesInLookupsAndTextsEndUpExactly) {
  const std::string nasty = "O'Brien \\ 'x'' \\\\ end\\";
  Env().AddCardType("T'\\Y", false, true);
  const std::string path = Env().Drop(
      "q.csv", "G" + nasty + ",3\nA,77,t'\\y,D" + nasty + ",,,,,9,G" + nasty + ",L" + nasty + ",F" +
                   nasty + ",S" + nasty + ",C" + nasty + ",P" + nasty + ",R" + nasty + ",B" +
                   nasty + ",1" + nasty + ",2" + nasty + ",skip,M" + nasty + ",N" + nasty + ",O" +
                   nasty + ",Q" + nasty + "\n");
  Env().SetFolders();
  EXPECT_TRUE(Env().Intake().ScanCardFiles());
  EXPECT_EQ(Staged(), "0") << Env().LogText();
  const TRow card = Card("77");
  ASSERT_FALSE(card.empty()) << Env().LogText();
  EXPECT_EQ(card.at("debit_left"), "9") << "the type was found through its quoted name";
  EXPECT_EQ(card.at("group_id"), Env().Scalar("SELECT id FROM card_pool WHERE name <> 'Blue'"));
  const char* columns[] = {"descr",     "last_name", "first_name", "str_eet",   "ci_ty",
                           "post_code", "phone_res", "phone_bus",  "license_1", "license_2",
                           "misc_1",    "misc_2",    "misc_3",     "misc_4"};
  const char prefixes[] = "DLFSCPRB12MNOQ";
  for (int i = 0; i < 14; ++i) {
    EXPECT_EQ(card.at(columns[i]), prefixes[i] + nasty) << columns[i];
  }
  EXPECT_EQ(Env().LogText().find("Warning"), std::string::npos);
}

FW_ON_EVERY_DRIVER(Apply);

// Another client holds the group's table while a top-up of that group is due, so that the
// record's unit fails for real: its group lookup meets a lock timeout (SQLite: its claim meets
// the one writer lock). The failure is never "no such group": the unit rolls back, the record
// stays staged, the card unchanged, and the pass after the lock is gone applies it once.
class ApplyLocked : public ::testing::TestWithParam<TTestDb> {};

TEST_P(ApplyLocked, AFailedLookupLeavesTheRecordForTheNextPass) {
  TIntakeEnv env(GetParam(), "JournalMode=WAL;Timeout=100");
  ASSERT_TRUE(env.Ok());
  const int debit = env.AddCardType("Debit", false, true);
  env.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('G', 10, 0)");
  const std::string group = env.Scalar("SELECT id FROM card_pool WHERE name = 'G'");
  env.Exec("INSERT INTO card (number, type_id, debit_left) VALUES (5001, " +
           std::to_string(debit) + ", 0)");
  env.Exec("INSERT INTO futurecard (command, number, card_type, start_dt, add_value, group_name) "
           "VALUES ('C', 5001, 'Debit', {ts '2024-01-01 00:00:00'}, 1, 'G')");
  const auto debitLeft = [&] {
    return env.Scalar("SELECT debit_left FROM card WHERE number = 5001");
  };

  TODBC other;  // manual commit: what it locks stays locked until it ends
  ASSERT_TRUE(env.Connect(other, true));
  struct TLock {
    const char* wait;  // on the pass's connection: how long a lock is waited for
    const char* take;
    const char* release;  // empty: ending the transaction releases it
  };
  const TLock lock = GetParam() == tdMariaDb
                         ? TLock{"SET SESSION lock_wait_timeout = 1", "LOCK TABLES card_pool WRITE",
                                 "UNLOCK TABLES"}
                     : GetParam() == tdPostgres
                         ? TLock{"SET lock_timeout = '300ms'",
                                 "LOCK TABLE card_pool IN ACCESS EXCLUSIVE MODE", ""}
                         : TLock{"", "INSERT INTO card_pool (name, max_inlot, cur_inlot) "
                                     "VALUES ('Lock holder', 1, 0)", ""};
  if (*lock.wait != 0) {
    ASSERT_TRUE(ExecSql(env.mainDb, lock.wait));
  }
  ASSERT_TRUE(ExecSql(other, lock.take));

  EXPECT_EQ(env.Intake().ProcessFutureCards(), poDone);
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "1");
  EXPECT_EQ(debitLeft(), "0");
  EXPECT_TRUE(env.Intake().PassOwed());
  EXPECT_EQ(env.LogCount("Invalid group name"), 0) << env.LogText();
  // One line names the statement and its codes.
  EXPECT_EQ(env.LogCount("SQLSTATE "), 1) << env.LogText();
  EXPECT_EQ(env.LogCount(" in SQL: "), 1) << env.LogText();

  if (*lock.release != 0) {
    ASSERT_TRUE(ExecSql(other, lock.release));
  }
  ASSERT_TRUE(other.EndTrans(false));
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(env.Intake().ProcessFutureCards(), poDone);
    EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "0");
    EXPECT_EQ(debitLeft(), "1") << "applied exactly once" << env.LogText();
  }
  EXPECT_EQ(env.Scalar("SELECT group_id FROM card WHERE number = 5001"), group);
  EXPECT_EQ(env.LogCount("Invalid group name"), 0) << env.LogText();
}

FW_ON_EVERY_DRIVER(ApplyLocked);

}  // namespace
}  // namespace fw::test

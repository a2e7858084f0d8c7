// A 10,000-row card file is staged and applied; the card table must equal what a plain model
// of the rules, written here from scratch, predicts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "intake/card_intake.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

using namespace std::chrono;

struct TModelType {
  std::string name;
  bool monthly, debit;
  int id = 0;
};

struct TModelCard {
  int type = 0;
  std::string group;  // id text, or empty
  long long debit = 0;
  std::string start;
  bool hasExpiry = false;
  // A NULL expiry reads as the zero date-time.
  sys_days expiry = sys_days(year{1899} / December / 30);
  std::string descr;
};

std::string DayText(sys_days day, const char* time) {
  const year_month_day ymd(day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %s", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), time);
  return text;
}

class Model : public ::testing::TestWithParam<TTestDb> {};

TEST_P(Model, TenThousandRowsStagedAndAppliedAsPredicted) {
  TIntakeEnv env(GetParam());
  ASSERT_TRUE(env.Ok());
  env.SetFolders();
  std::vector<TModelType> types = {
      {"Day", false, false}, {"Debit", false, true}, {"Monthly", true, false}};
  for (TModelType& t : types) t.id = env.AddCardType(t.name, t.monthly, t.debit);
  std::map<std::string, std::string> groups;  // name -> id
  for (const char* g : {"North", "South", "O'Neil \\ lot"}) {
    env.Exec(std::string("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('") +
             (g[0] == 'O' ? (GetParam() == tdMariaDb ? "O''Neil \\\\ lot" : "O''Neil \\ lot") : g) +
             "', 10, 0)");
  }
  for (const TRow& r : env.Query("SELECT id, name FROM card_pool"))
    groups[r.at("name")] = r.at("id");

  const sys_days today = sys_days(year{2024} / May / 15);  // the clock says noon
  uint32_t seed = 12345;
  const auto random = [&seed](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };

  struct TRecord {
    std::string command, number;
    const TModelType* type;
    bool startFuture, expiryFuture;
    int add;
    std::string group, descr;
  };
  std::vector<TRecord> records;
  std::string file;
  const char* commands[] = {"A", "C", "add", "change", "X"};
  const char* groupNames[] = {"", "North", "South", "O'Neil \\ lot", "Missing"};
  for (int i = 0; i < 10000; ++i) {
    TRecord r;
    r.command = commands[random(100) < 97 ? random(4) : 4];
    r.number = std::to_string(1000000000000 + random(2500));
    r.type = &types[random(3)];
    r.startFuture = random(5) == 0;
    r.expiryFuture = random(2) == 0;
    r.add = r.type->monthly ? 1 + static_cast<int>(random(12))
            : r.type->debit ? static_cast<int>(random(26)) - 5
                            : static_cast<int>(random(31));
    r.group = groupNames[random(5)];
    r.descr = random(4) == 0 ? "" : "d" + std::to_string(i);
    file += r.command + "," + r.number + "," + r.type->name + "," + r.descr + ",0000," +
            (r.startFuture ? "20240601" : "20240101") + ",1200," +
            (r.expiryFuture ? "20240901" : "20240301") + "," + std::to_string(r.add) + "," +
            r.group + "\r\n";
    records.push_back(r);
  }
  env.Drop("big.csv", file);
  ASSERT_TRUE(env.Intake().ScanCardFiles());
  ASSERT_TRUE(FileExistsAt(env.done + "/big.csv")) << env.LogText();

  // The model: records in file order, each seeing the cards of the records before it.
  std::map<std::string, TModelCard> cards;
  size_t stays = 0;
  for (const TRecord& r : records) {
    const auto it = cards.find(r.number);
    const bool exists = it != cards.end();
    if (r.startFuture && exists) {
      ++stays;
      continue;
    }
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(r.command[0])));
    if (c != 'A' && c != 'C') {
      ++stays;
      continue;
    }
    TModelCard card = exists ? it->second : TModelCard{};
    card.type = r.type->id;
    if (!r.type->monthly)
      card.start = r.startFuture ? "2024-06-01 00:00:00" : "2024-01-01 00:00:00";
    if (groups.count(r.group)) card.group = groups[r.group];
    if (r.type->debit && r.add != 0) {
      card.debit += r.add;
    } else if (r.type->monthly) {
      // The last day of month `add`: this year unless that month has passed.
      const year y = r.add >= 5 ? year{2024} : year{2025};
      const sys_days last = sys_days(y / month(r.add) / std::chrono::last);
      const sys_days old = exists ? card.expiry : today;
      const int step = (static_cast<int>(static_cast<unsigned>(year_month_day(last).month())) -
                        static_cast<int>(static_cast<unsigned>(year_month_day(old).month())) + 12) %
                       12;
      if (step != 1)
        card.start = DayText(
            sys_days(year_month_day(last).year() / year_month_day(last).month() / 1), "00:00:00");
      card.expiry = last;
      card.hasExpiry = true;
    } else {
      const sys_days base = r.expiryFuture ? sys_days(year{2024} / September / 1)
                            : exists       ? card.expiry
                                           : today;
      card.expiry = base + days(r.add);
      card.hasExpiry = true;
    }
    if (!r.descr.empty() || !exists) card.descr = r.descr;
    cards[r.number] = card;
  }

  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), std::to_string(stays));
  const std::vector<TRow> rows = env.Query("SELECT * FROM card");
  ASSERT_EQ(rows.size(), cards.size());
  int mismatches = 0;
  for (const TRow& row : rows) {
    const auto it = cards.find(row.at("number"));
    ASSERT_NE(it, cards.end()) << row.at("number");
    const TModelCard& m = it->second;
    const bool same =
        row.at("type_id") == std::to_string(m.type) && row.at("group_id") == m.group &&
        row.at("debit_left") == std::to_string(m.debit) && row.at("start_dt") == m.start &&
        row.at("exp_iry") == (m.hasExpiry ? DayText(m.expiry, "23:59:59") : "") &&
        row.at("descr") == m.descr;
    if (!same && ++mismatches <= 5) {
      ADD_FAILURE() << "card " << row.at("number") << ": type " << row.at("type_id") << "/"
                    << m.type << " group " << row.at("group_id") << "/" << m.group << " debit "
                    << row.at("debit_left") << "/" << m.debit << " start " << row.at("start_dt")
                    << "/" << m.start << " expiry " << row.at("exp_iry") << "/"
                    << DayText(m.expiry, "23:59:59") << " descr " << row.at("descr") << "/"
                    << m.descr;
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(env.LogCount("SQL err"), 0);
  EXPECT_EQ(env.LogCount("Error \""), 0);
}

FW_ON_EVERY_DRIVER(Model);

}  // namespace
}  // namespace fw::test

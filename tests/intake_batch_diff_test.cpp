// Batched and per-row intake side by side: random card files (bad lines, repeated numbers,
// groups, every rule) go through both on fresh databases of the same kind, and the tables,
// the log and the folders must come out the same. Surrogate ids are left out: a batch that is
// rolled back uses up auto-increment values on MariaDB, as a rejected file does on either path.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>

#include "intake/card_intake.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

struct TCardFiles {
  std::vector<std::pair<std::string, std::string>> files;  // name, contents
};

TCardFiles RandomFiles(unsigned seed) {
  std::mt19937 random(seed);
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
  };
  const auto chance = [&](int percent) {
    return std::uniform_int_distribution<int>(0, 99)(random) < percent;
  };
  const std::vector<std::string> commands = {"A", "A", "A", "C", "change", "add", "D", "x", ""};
  const std::vector<std::string> types = {"Day",  "Day",     "DEBIT", "Monthly", "MonthlyG",
                                          "day",  "INACTIVE", "Nope", ""};
  const std::vector<std::string> groups = {"", "North", "South", "G1", "O'Hare", "Missing"};
  const std::vector<std::string> dates = {"20240101", "20240514", "20240601", "20251231", "bad"};
  TCardFiles result;
  const int fileCount = 3;
  for (int f = 0; f < fileCount; ++f) {
    std::ostringstream out;
    const int lines = std::uniform_int_distribution<int>(5, 60)(random);
    for (int l = 0; l < lines; ++l) {
      if (chance(8)) {  // a group row, new or known
        out << pick({"G1", "G2", "North", " South ", "O'Hare"}) << ","
            << std::uniform_int_distribution<int>(0, 50)(random) << "\r\n";
        continue;
      }
      if (chance(3)) {
        out << (chance(50) ? "\r\n" : "only one field\r\n");
        continue;
      }
      std::string number = std::to_string(std::uniform_int_distribution<int>(1, 14)(random));
      if (chance(3)) number = "";
      if (chance(2)) number = pick({"12x", "1 OR 1=1"});  // refused: the file is rejected
      if (chance(2)) number = "007";
      std::vector<std::string> fields = {
          pick(commands),
          number,
          pick(types),
          chance(2) ? std::string(300, 'd') : "Desk " + std::to_string(l),  // too long: MariaDB
          pick({"0000", "0930", "1745"}),
          pick(dates),
          pick({"2359", "1200"}),
          pick(dates),
          pick({"0", "1", "5", "6", "12", "13", "23", "30", "-1"}),
          pick(groups),
          chance(30) ? "" : "Last" + std::to_string(l),
          "First",
          "Street 1",
          "Leeds",
          "LS1",
          "0111",
          chance(50) ? "" : "0222",
          "AB12",
          "",
          "ignored",
          "m1",
          "",
          "m3",
          "m4"};
      const size_t count = chance(40) ? std::uniform_int_distribution<size_t>(3, 24)(random) : 24;
      fields.resize(count);
      for (size_t i = 0; i < fields.size(); ++i) out << (i ? "," : "") << fields[i];
      out << "\r\n";
    }
    result.files.push_back({"f" + std::to_string(f) + ".csv", out.str()});
  }
  if (seed % 2 == 0) {
    // Batches of many rows with a few bad ones anywhere, also first and last of a batch: a
    // failed batch is split until its bad rows stand alone.
    std::ostringstream out;
    for (int l = 0; l < 1100; ++l) {
      const bool bad = l == 0 || l == 499 || l == 500 || l == 1099 || chance(1);
      if (l == 700) out << "G2,7\r\n";
      out << "A," << 100 + l << ",Day," << (bad ? std::string(300, 'd') : "Desk")
          << ",0930,20240101,2359,20251231,1,G2,Last,First\r\n";
    }
    result.files.push_back({"big.csv", out.str()});
  }
  return result;
}

struct TOutcome {
  std::vector<std::string> card, futurecard, pool, log, folders;
};

std::vector<std::string> Rows(TIntakeEnv& env, const std::string& sql,
                              const std::map<std::string, std::string>& poolNames) {
  std::vector<std::string> rows;
  for (TRow row : env.Query(sql)) {
    row.erase("id");
    if (row.count("group_id") != 0 && poolNames.count(row["group_id"]) != 0) {
      row["group_id"] = poolNames.at(row["group_id"]);
    }
    std::string text;
    for (const auto& [name, value] : row) text += name + "=" + value + "|";
    rows.push_back(text);
  }
  return rows;
}

TOutcome RunIntake(TTestDb db, const TCardFiles& files, bool batched) {
  TOutcome outcome;
  TIntakeEnv env(db);
  if (!env.Ok()) return outcome;
  env.SetFolders();
  env.Intake().SetBatched(batched);
  env.AddCardType("Day", false, false);
  env.AddCardType("Debit", false, true);
  env.AddCardType("Monthly", true, false);
  env.AddCardType("MonthlyG", true, false, true);
  env.AddCardType("Inactive", false, false);
  env.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('North', 5, 1)");
  env.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('South', 5, 2)");
  for (int n : {1, 2, 3, 7}) {  // cards that exist already, some expired
    env.Exec("INSERT INTO card (number, type_id, debit_left, exp_iry) VALUES (" +
             std::to_string(n) + ", " + std::to_string(n % 3 + 1) + ", 10, " +
             (n % 2 ? "{ts '2024-01-31 23:59:59'}" : "{ts '2024-12-31 23:59:59'}") + ")");
  }
  for (const auto& [name, contents] : files.files) env.Drop(name, contents);

  env.Intake().ScanCardFiles();
  env.clock.Set(At(2024, 7, 1, 12));  // what was not due yet is now
  env.Intake().ProcessFutureCards();

  std::map<std::string, std::string> poolNames;
  for (const TRow& row : env.Query("SELECT id, name FROM card_pool"))
    poolNames[row.at("id")] = row.at("name");
  outcome.card = Rows(env, "SELECT * FROM card ORDER BY number", poolNames);
  outcome.futurecard = Rows(env, "SELECT * FROM futurecard ORDER BY id", poolNames);
  outcome.pool = Rows(env, "SELECT * FROM card_pool ORDER BY id", poolNames);
  std::istringstream log(env.LogText());
  for (std::string line; std::getline(log, line);) {
    line = LogText(line);
    for (size_t at; (at = line.find(env.dir.Path())) != std::string::npos;)
      line.replace(at, env.dir.Path().size(), "<dir>");
    outcome.log.push_back(line);
  }
  for (const std::string& folder : {env.drop, env.done, env.errors}) {
    for (const std::string& name : FilesIn(folder)) {
      std::string contents = ReadFileBytes(folder + "/" + name);
      for (size_t at; (at = contents.find(env.dir.Path())) != std::string::npos;)
        contents.replace(at, env.dir.Path().size(), "<dir>");
      outcome.folders.push_back(folder.substr(env.dir.Path().size()) + "/" + name + ":" + contents);
    }
  }
  return outcome;
}

class BatchDiff : public ::testing::TestWithParam<TTestDb> {};

TEST_P(BatchDiff, RandomFilesGiveTheSameTablesLogAndFolders) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const TCardFiles files = RandomFiles(seed);
    const TOutcome perRow = RunIntake(GetParam(), files, false);
    const TOutcome batched = RunIntake(GetParam(), files, true);
    ASSERT_FALSE(perRow.log.empty());
    EXPECT_EQ(batched.card, perRow.card) << "seed " << seed;
    EXPECT_EQ(batched.futurecard, perRow.futurecard) << "seed " << seed;
    EXPECT_EQ(batched.pool, perRow.pool) << "seed " << seed;
    EXPECT_EQ(batched.log, perRow.log) << "seed " << seed;
    EXPECT_EQ(batched.folders, perRow.folders) << "seed " << seed;
  }
}

FW_ON_EVERY_DRIVER(BatchDiff);

}  // namespace
}  // namespace fw::test

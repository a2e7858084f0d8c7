#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

namespace fw {
namespace {

struct TRun {
  int status;
  std::string out;
};

TRun Validate(const std::string& args) {
  const std::string cmd = std::string(FENWOLD_CTL_BINARY) + " validate " + args + " 2>&1";
  TRun run{-1, {}};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return run;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) run.out.append(buf, n);
  const int raw = pclose(p);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

std::string Sample(const char* name) {
  return std::string(FENWOLD_SOURCE_DIR) + "/scripts/samples/" + name;
}

TEST(CtlValidate, GoodSamplesPassAndShowTheirStatements) {
  const TRun run = Validate(Sample("groups.csv") + " " + Sample("cards.csv"));
  EXPECT_EQ(run.status, 0) << run.out;
  for (const char* expected : {
           "SELECT id FROM card_pool WHERE name = 'Visitors'' Yard'",
           "UPDATE card_pool set name='Blue Lot', max_inlot=40 WHERE id = <id>",
           "INSERT INTO card_pool (name, max_inlot, cur_inlot) Values ('Staff, North Gate', 25, 0)",
           "'A', 100234, 'STAFF', 'Front desk\\Lobby', {ts '2025-01-06 08:00:00'}",
           "7 ignored (0 fields)",
           "8 line(s): 1 group, 5 card, 2 ignored; staging would commit it",
       }) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
  }
}

TEST(CtlValidate, MySqlDoublesBackslashes) {
  const TRun run = Validate("--driver mysql " + Sample("cards.csv"));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("'Front desk\\\\Lobby'"), std::string::npos) << run.out;
}

TEST(CtlValidate, BadNumbersAreFlaggedAndFailTheRun) {
  const TRun run = Validate(Sample("groups.csv") + " " + Sample("bad_number.csv"));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("2 card    FAILS: Value \"10030I\" of NUMBER is not a whole number"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("2 would fail: staging would roll the whole file back"),
            std::string::npos);
  EXPECT_EQ(run.out.find("100302 or 1=1,"), std::string::npos);  // never inside a statement
}

TEST(CtlValidate, UnreadableFilesAndBadArguments) {
  test::TTempDir dir;
  EXPECT_EQ(Validate(dir.File("absent.csv")).status, 1);
  EXPECT_EQ(Validate("").status, 2);
  EXPECT_EQ(Validate("--driver oracle " + Sample("groups.csv")).status, 2);
  EXPECT_EQ(Validate("--bogus " + Sample("groups.csv")).status, 2);
  const std::string empty = dir.File("empty.csv");
  ASSERT_TRUE(test::WriteFileBytes(empty, ""));
  const TRun run = Validate(empty);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("0 line(s)"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace fw

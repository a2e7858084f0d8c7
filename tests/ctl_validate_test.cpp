#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/temp_registry.h"

namespace fw {
namespace {

using namespace std::string_literals;

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

TEST(CtlValidate, ShowsTheEncodingReadAndFlagsMixedFiles) {
  test::TTempRegistry reg;
  reg.WriteExport("[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n\"CardFileCodePage\"=\"1250\"\r\n");
  test::TTempDir dir;
  const std::string utf8Line = "A,1,T,\xC5\x81\xC3\xB3\x64\xC5\xBA\r\n";  // Łódź
  const std::string legacyLine = "A,2,T,\xA3\xF3\x64\x9F\r\n";                  // the same in 1250
  const struct {
    const char* name;
    std::string options, bytes;
    int status;
    const char* shown;
  } cases[] = {
      {"legacy", "", legacyLine, 0, "encoding: 1250 (not UTF-8)"},
      {"legacy", "", legacyLine, 0, "'A', 2, 'T', '\xC5\x81\xC3\xB3\x64\xC5\xBA'"},
      {"utf16", "", "\xFF\xFE" "A\0,\0"s, 0, "encoding: utf-16le (byte-order mark)"},
      {"mixed", "", "B,1\r\n" + utf8Line + legacyLine, 1,
       "MIXED ENCODINGS: line(s) 2 are UTF-8, line(s) 3 are not; all would be read as 1250"},
      {"declared", "--encoding utf-8 ", legacyLine, 1,
       "encoding: utf-8, FAILS: not valid UTF-8 in line 1 (byte 7)"},
      {"unknown", "--encoding=klingon ", utf8Line, 1, "unknown encoding \"klingon\""},
  };
  for (const auto& c : cases) {
    const std::string path = dir.File(std::string(c.name) + ".csv");
    ASSERT_TRUE(test::WriteFileBytes(path, c.bytes));
    const TRun run = Validate(c.options + path);
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_NE(run.out.find(c.shown), std::string::npos) << c.shown << "\n" << run.out;
  }
}

}  // namespace
}  // namespace fw

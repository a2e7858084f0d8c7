#include "intake/card_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake/card_encoding.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_platform.h"

namespace fw {
namespace {

using Fields = std::vector<std::string>;
using test::At;

// Q in these lines stands for a double quote, so the table reads like the format's rules.
std::string Q(std::string s) {
  for (char& c : s) {
    if (c == 'Q') c = '"';
  }
  return s;
}

TEST(SplitLine, ReproducesEveryQuotingConsequence) {
  const struct {
    const char* line;
    Fields fields;
  } cases[] = {
      {"ab,cd,ef", {"ab", "cd", "ef"}},
      {"Qab,cdQ,ef", {"ab,cd", "ef"}},
      {"QabQcd,ef", {"abcd", "ef"}},
      {"QabQQcdQ", {Q("abQcdQ")}},  // a doubled quote is no escape
      {"abQcd,ef", {Q("abQcd"), "ef"}},
      {" QabQ", {Q(" QabQ")}},  // a quote opens quoted mode only as a field's first character
      {"ab,,cd", {"ab", "", "cd"}},
      {"ab,cd,", {"ab", "cd"}},  // a trailing comma adds no field
      {",", {""}},
      {"", {}},
      {"Qab,cd", {"ab,cd"}},            // an unclosed quote runs to the end of the line
      {" ab , cd ", {" ab ", " cd "}},  // no blanks are removed
      {",,", {"", ""}},
      {"QQ,x", {"", "x"}},
      {"Q", {""}},
      {"a,Qb,cQ,QdQ", {"a", "b,c", "d"}},
      {"QaQ,", {"a"}},
  };
  for (const auto& c : cases) {
    TStringListSDF list;
    list.push_back("left over from the previous line");
    list.SplitLine(Q(c.line));
    EXPECT_EQ(list, c.fields) << "line: " << c.line;
  }
}

TEST(SplitIntoLines, CutsAtEveryKindOfBreakAndStopsAtNul) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    Fields lines;
  } cases[] = {
      {"a\r\nb", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\rb", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},  // LF CR: two breaks
      {"a\r\r\nb", {"a", "", "b"}},
      {"a\r\n", {"a"}},  // no empty last line
      {"a\n\n", {"a", ""}},
      {"\n", {""}},
      {"", {}},
      {"a", {"a"}},
      {"a\0b\nc"s, {"a"}},
      {"\0a\nb"s, {}},
      {"a\nb\0"s, {"a", "b"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitIntoLines(c.text), c.lines) << testing::PrintToString(c.text);
  }
}

TEST(LoadCardFile, ReadsWholeFileWithoutItsByteOrderMark) {
  test::TTempDir dir;
  const std::string path = dir.File("cards.csv");
  ASSERT_TRUE(test::WriteFileBytes(path, "\xEF\xBB\xBF" "A,1,X\r\nB,2\r\n"));
  std::vector<std::string> lines;
  TCardText text;
  ASSERT_TRUE(LoadCardFile(path, TCardFileEncoding(), text, lines));
  ASSERT_EQ(lines, (Fields{"A,1,X", "B,2"}));
}

TEST(LoadCardFile, FailsOnMissingFileFolderAndFifo) {
  test::TTempDir dir;
  std::vector<std::string> lines{"kept"};
  TCardText text;
  EXPECT_FALSE(LoadCardFile(dir.File("absent.csv"), TCardFileEncoding(), text, lines));
  EXPECT_FALSE(LoadCardFile(dir.Path(), TCardFileEncoding(), text, lines));
  ASSERT_TRUE(test::MakeFifo(dir.File("fifo.csv")));
  // Must not wait for a writer.
  EXPECT_FALSE(LoadCardFile(dir.File("fifo.csv"), TCardFileEncoding(), text, lines));
  EXPECT_EQ(lines, Fields{"kept"});
  EXPECT_EQ(text.error, "");
}

TEST(FieldToInt, ReadsDecimalAndHexAndGivesZeroForAnythingElse) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"0", 0},
      {"123", 123},
      {"00012", 12},
      {"  42", 42},
      {" -5", -5},
      {"-17", -17},
      {"+17", 17},
      {"$1F", 31},
      {"x1f", 31},
      {"X1F", 31},
      {"0x10", 16},
      {"0X10", 16},
      {"-$10", -16},
      {"+0x7fffffff", 2147483647},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"-$80000000", INT32_MIN},
      // out of range
      {"2147483648", 0},
      {"-2147483649", 0},
      {"$80000000", 0},
      {"$FFFFFFFF", 0},
      {"99999999999999999999", 0},
      // malformed
      {"", 0},
      {" ", 0},
      {"-", 0},
      {"+", 0},
      {"$", 0},
      {"x", 0},
      {"0x", 0},
      {"12 ", 0},
      {"12\t", 0},
      {"\t12", 0},
      {"1a", 0},
      {"1.5", 0},
      {"1e3", 0},
      {"--1", 0},
      {"+-1", 0},
      {"- 5", 0},
      {"$G", 0},
      {"0x1g", 0},
      {"12abc", 0},
      {"\xd9\xa1", 0},
      {"1,000", 0},
      {"$-1", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(FieldToInt(c.text), c.value) << "text: " << c.text;
}

TEST(FieldToTime, ReadsHoursAndMinutesOfFourDigits) {
  const struct {
    const char* text;
    int hour, minute;
  } cases[] = {
      {"930", 9, 30},    {"0930", 9, 30}, {"1745", 17, 45}, {"2359", 23, 59},
      {"12345", 12, 34},  // only the first four digits count
      {"5", 0, 5},       {"$3A2", 9, 30}, {"0", 0, 0},      {"", 0, 0},
      {"2400", 0, 0},    {"0960", 0, 0},  {"09:30", 0, 0},  {"9 30", 0, 0},
      {"-930", 0, 0},    {"-5000", 0, 0}, {"abc", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FieldToTime(c.text), EncodeTime(c.hour, c.minute, 0)) << "text: " << c.text;
  }
}

TEST(FieldToDate, ReadsYearMonthDayAndFallsBackToToday) {
  const test::TFixedClock clock(At(2024, 6, 15, 13, 45, 10));
  const TDateTime today = EncodeDate(2024, 6, 15);
  const struct {
    const char* text;
    TDateTime date;
  } cases[] = {
      {"20240229", EncodeDate(2024, 2, 29)},
      {"19991231", EncodeDate(1999, 12, 31)},
      {"99991231", EncodeDate(9999, 12, 31)},
      {"00010101", EncodeDate(1, 1, 1)},
      {"10101", EncodeDate(1, 1, 1)},  // padded to eight digits
      {" 20240101", EncodeDate(2024, 1, 1)},
      {"20230229", today},
      {"20241301", today},
      {"20240431", today},
      {"20240100", today},
      {"0", today},
      {"", today},
      {"2024-02-29", today},
      {"20240101 ", today},
      {"123456789", today},
      {"-20240101", today},
      {"garbage", today},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FieldToDate(c.text, clock), c.date) << "text: " << c.text;
  }
}

class CardLineReaderTest : public testing::Test {
 protected:
  TLineKind Read(const std::string& line) {
    fields_.SplitLine(line);
    return reader_.Read(fields_, entries_);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : entries_) names.push_back(e.name);
    return names;
  }
  const TColumnEntry& Entry(const std::string& name) const {
    for (const auto& e : entries_) {
      if (e.name == name) return e;
    }
    ADD_FAILURE() << "no entry " << name;
    return entries_.front();
  }

  test::TFixedClock clock_{At(2024, 6, 15, 13, 45, 10)};
  TCardLineReader reader_{clock_};
  TStringListSDF fields_;
  std::vector<TColumnEntry> entries_;
};

TEST_F(CardLineReaderTest, GroupRowGivesQuotedNameAndIntegerMaximum) {
  ASSERT_EQ(Read("Blue Lot,40"), lkGroup);
  ASSERT_EQ(entries_.size(), 2u);
  EXPECT_EQ(entries_[0].name, "NAME");
  EXPECT_EQ(entries_[0].kind, vkQuoted);
  EXPECT_EQ(entries_[0].text, "Blue Lot");
  EXPECT_EQ(entries_[1].name, "MAX_INLOT");
  EXPECT_EQ(entries_[1].kind, vkInteger);
  EXPECT_EQ(entries_[1].integer, 40);
}

TEST_F(CardLineReaderTest, TwoFieldsAreAGroupRowWhateverTheyHold) {
  EXPECT_EQ(Read("A,12345"), lkGroup);  // a card row cut short
  EXPECT_EQ(Read("ab,cd,"), lkGroup);   // third field lost to the trailing comma
  EXPECT_EQ(entries_[1].integer, 0);
  EXPECT_EQ(Read("only one field"), lkIgnored);
  EXPECT_TRUE(entries_.empty());
  EXPECT_EQ(Read(""), lkIgnored);
}

TEST_F(CardLineReaderTest, FullCardRowLeavesOutTimeAndIgnoredPositions) {
  ASSERT_EQ(Read("A,1001,STAFF,Desk,0800,20250106,1830,20251231,7,Blue,Lind,Maja,Street 1,"
                 "Town,PC1,111,222,L1,L2,skipped,M1,M2,M3,M4"),
            lkCard);
  EXPECT_EQ(Names(),
            (Fields{"COMMAND",   "NUMBER",     "CARD_TYPE", "DESCR",      "START_DT",  "EXP_IRY",
                    "ADD_VALUE", "GROUP_NAME", "LAST_NAME", "FIRST_NAME", "STR_EET",   "CI_TY",
                    "POST_CODE", "PHONE_RES",  "PHONE_BUS", "LICENSE_1",  "LICENSE_2", "MISC_1",
                    "MISC_2",    "MISC_3",     "MISC_4"}));
  EXPECT_EQ(Entry("NUMBER").kind, vkUnquoted);
  EXPECT_EQ(Entry("NUMBER").text, "1001");
  EXPECT_EQ(Entry("START_DT").kind, vkDateTime);
  EXPECT_EQ(Entry("START_DT").dateTime, At(2025, 1, 6, 8, 0));
  EXPECT_EQ(Entry("EXP_IRY").dateTime, At(2025, 12, 31, 18, 30));
  EXPECT_EQ(Entry("ADD_VALUE").integer, 7);
  EXPECT_EQ(Entry("MISC_1").text, "M1");
  EXPECT_EQ(Entry("MISC_4").text, "M4");
  EXPECT_EQ(reader_.TimeOfDay(), EncodeTime(18, 30, 0));
}

TEST_F(CardLineReaderTest, FieldsPastTheLayoutAreIgnored) {
  std::string line = "A,1,T,D,,,,,0,G,L,F,S,C,P,R,B,L1,L2,I,M1,M2,M3,M4";
  for (int i = 0; i < 50; ++i) line += ",extra";
  ASSERT_EQ(Read(line), lkCard);
  EXPECT_EQ(entries_.size(), 21u);
  EXPECT_EQ(entries_.back().name, "MISC_4");
  EXPECT_EQ(entries_.back().text, "M4");
}

TEST_F(CardLineReaderTest, ShortCardRowYieldsOnlyItsColumns) {
  ASSERT_EQ(Read("A,1001,STAFF"), lkCard);
  EXPECT_EQ(Names(), (Fields{"COMMAND", "NUMBER", "CARD_TYPE"}));
  ASSERT_EQ(Read("A,1001,STAFF,Desk,0915"), lkCard);  // ends on a T field
  EXPECT_EQ(Names(), (Fields{"COMMAND", "NUMBER", "CARD_TYPE", "DESCR"}));
  EXPECT_EQ(reader_.TimeOfDay(), EncodeTime(9, 15, 0));
}

TEST_F(CardLineReaderTest, EmptyDateIsTodayAtTheTimeBeforeIt) {
  EXPECT_EQ(reader_.TimeOfDay(), 0.0);
  ASSERT_EQ(Read("C,1002,DEBIT,,0800,,,,500"), lkCard);
  EXPECT_EQ(Entry("START_DT").dateTime, At(2024, 6, 15, 8, 0));
  EXPECT_EQ(Entry("EXP_IRY").dateTime, At(2024, 6, 15, 0, 0));  // its own T field is empty
  EXPECT_EQ(Entry("NUMBER").text, "1002");
  ASSERT_EQ(Read("C,,DEBIT"), lkCard);
  EXPECT_EQ(Entry("NUMBER").text, "");
}

TEST_F(CardLineReaderTest, HeaderLineIsAnOrdinaryCardRow) {
  ASSERT_EQ(Read("COMMAND,NUMBER,CARD_TYPE,DESCR,T,START_DT,T,EXP_IRY,ADD_VALUE"), lkCard);
  EXPECT_EQ(Entry("NUMBER").text, "NUMBER");
  EXPECT_EQ(Entry("START_DT").dateTime, At(2024, 6, 15));
  EXPECT_EQ(Entry("ADD_VALUE").integer, 0);
}

}  // namespace
}  // namespace fw

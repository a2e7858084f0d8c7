// Hostile and random bytes through loading, splitting, typing and statement building: nothing
// may crash, read out of bounds, or let a field change the shape of a statement.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "intake/staging_sql.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

using namespace std::string_literals;

// True when `s` is exactly one SQL string literal: quotes at both ends, inner quotes doubled.
bool IsOneStringLiteral(const std::string& s) {
  if (s.size() < 2 || s.front() != '\'' || s.back() != '\'') return false;
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] == '\'') {
      if (i + 2 >= s.size() || s[i + 1] != '\'') return false;
      ++i;
    }
  }
  return true;
}

class HostileInput : public testing::Test {
 protected:
  // Runs one file's bytes through everything the staging of a file does short of a database.
  void Feed(const std::string& bytes) {
    const std::string path = dir_.File("in.csv");
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    std::vector<std::string> lines;
    TCardText text;
    if (!LoadCardFile(path, TCardFileEncoding(), text, lines)) {
      // Only a byte-order mark of UTF-8 followed by what is not UTF-8 may refuse a file.
      ASSERT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u) << text.error;
      return;
    }
    EXPECT_EQ(lines, SplitIntoLines(text.text));
    size_t total = 0;
    for (const std::string& line : lines) {
      ASSERT_EQ(line.find_first_of("\r\n\0"s), std::string::npos);
      total += line.size();
      FeedLine(line);
    }
    EXPECT_LE(total, text.text.size());
  }

  void FeedLine(const std::string& line) {
    fields_.SplitLine(line);
    size_t chars = 0;
    for (const std::string& f : fields_) {
      chars += f.size();
      const TDateTime t = FieldToTime(f);
      ASSERT_TRUE(t >= 0 && t < 1) << t;
      const TDateTime d = FieldToDate(f, clock_);
      ASSERT_EQ(d, std::floor(d));
      ASSERT_TRUE(d >= EncodeDate(1, 1, 1) && d <= EncodeDate(9999, 12, 31));
      FieldToInt(f);
    }
    ASSERT_LE(chars, line.size());
    ASSERT_LE(fields_.size(), static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1);

    const TLineKind kind = reader_.Read(fields_, entries_);
    ASSERT_EQ(kind, LineKindOf(fields_.size()));
    ASSERT_LE(entries_.size(), 21u);
    if (kind == lkGroup) {
      FillGroupRow(entries_, sql_);
      const TBoundSql bound = GroupLookupSql(sql_, fields_[0]);
      const std::string prefix = "SELECT id FROM card_pool WHERE name = ";
      ASSERT_EQ(bound.text, prefix + "?");
      const std::string lookup = bound.Rendered();
      ASSERT_EQ(lookup.compare(0, prefix.size(), prefix), 0);
      ASSERT_TRUE(IsOneStringLiteral(lookup.substr(prefix.size()))) << lookup;
      GroupUpdateSql(sql_, 1);
      GroupInsertSql(sql_);
    } else if (kind == lkCard) {
      std::string error;
      if (FillCardRow(entries_, sql_, error)) {
        const TBoundSql bound = CardInsertSql(sql_);
        const std::string& insert = bound.text;
        ASSERT_EQ(insert.rfind("INSERT INTO futurecard (command, number", 0), 0u);
        // Every value is bound: the text is the column list and one marker per column.
        ASSERT_EQ(bound.values.size(), sql_.Count());
        ASSERT_EQ(insert.find('\''), std::string::npos) << insert;
        const std::string number = TrimControl(entries_[1].text);
        ASSERT_TRUE(number.empty() || IsPlainInteger(number)) << number;
      } else {
        ASSERT_FALSE(error.empty());
        ASSERT_EQ(sql_.Count(), 0u);
      }
    }
  }

  test::TTempDir dir_;
  test::TFixedClock clock_{test::At(2024, 6, 15, 12, 0)};
  TCardLineReader reader_{clock_};
  TStringListSDF fields_;
  std::vector<TColumnEntry> entries_;
  TSql sql_{dkMySql};
};

TEST_F(HostileInput, KnownNastyFiles) {
  const std::string nasty[] = {
      "",
      "\0"s,
      "A,1,X\0,2,3\r\nB,2"s,
      "\"",
      "\"\"\"\"\"",
      "\",\"\",\",\"\n\"\n\"",
      std::string(10000, ','),
      "A,1,T" + std::string(10000, ','),
      std::string(10000, '"'),
      std::string(10000, '\r'),
      std::string(5000, '\n') + std::string(5000, '\r'),
      "\xc0\x80,\xff\xfe,\x80\x80\x80,\xed\xa0\x80\r\n\xf8\x88\x80\x80\x80,1",
      "\xef\xbb\xbf\xef\xbb\xbf,\xef\xbb\xbf",
      "A,-2147483648,C,D,-2147483648,-2147483648,2147483647,99999999,$FFFFFFFF",
      "A,1' OR '1'='1,C\nx' ); DROP TABLE card; --,5\na\\',1",
      "C,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,",
      "$,x,0x,0X,-,+,-$,+0x,  ,\t,\x01,\x7f",
  };
  for (const std::string& bytes : nasty) {
    SCOPED_TRACE(testing::PrintToString(bytes.substr(0, 60)));
    Feed(bytes);
  }
}

TEST_F(HostileInput, TenThousandCommasAreTenThousandFields) {
  fields_.SplitLine(std::string(10000, ','));
  EXPECT_EQ(fields_.size(), 10000u);
  ASSERT_EQ(reader_.Read(fields_, entries_), lkCard);
  EXPECT_EQ(entries_.size(), 21u);
}

TEST_F(HostileInput, OneMegabyteLines) {
  std::mt19937 rng(20240615);
  std::string random(1 << 20, '\0');
  for (char& c : random) c = static_cast<char>(rng() & 0xff);
  std::string noBreaks = random;
  for (char& c : noBreaks) {
    if (c == '\r' || c == '\n' || c == '\0') c = 'a';
  }
  std::string digits(1 << 20, '7');
  std::string quotedCommas = "\"" + std::string((1 << 20) - 1, ',');
  for (const std::string* bytes : {&random, &noBreaks, &digits, &quotedCommas}) Feed(*bytes);
  fields_.SplitLine(quotedCommas);
  ASSERT_EQ(fields_.size(), 1u);  // an unclosed quote runs to the end
  EXPECT_EQ(fields_[0].size(), (1u << 20) - 1);
}

TEST_F(HostileInput, RandomBytesWeightedTowardsTheSyntax) {
  std::mt19937 rng(7);
  const std::string syntax = ",,,\"\"\r\n\0 $xX0123456789-+:\t\\'"s;
  for (int file = 0; file < 300; ++file) {
    std::string bytes(rng() % 2000, '\0');
    for (char& c : bytes) {
      const unsigned r = rng();
      c = r % 3 == 0 ? static_cast<char>(r >> 8) : syntax[(r >> 8) % syntax.size()];
    }
    Feed(bytes);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace fw

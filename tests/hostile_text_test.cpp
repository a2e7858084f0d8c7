// Texts that mean something to SQL, to a server's string rules or to the card format, staged
// and applied on every database, also under the server settings that read a backslash
// differently: each reads back from futurecard, card_pool and card byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake/card_intake.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

const std::vector<std::string> kTexts = {
    "O'Brien",
    "''",
    "x' OR '1'='1",
    "back\\slash",
    "ends in a backslash\\",
    "\\'; DROP TABLE card; --",
    "\\\\",
    "\\N",
    "$$dollar$$ $tag$ x $tag$",
    "a -- comment",
    "a /* b */ c */",
    "one; two;",
    "quote\" inside",
    "what? ?? $1 :name %s",
    "Zo\xC3\xAB \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80 \\u00e9",
    "\\0 \\x27 \\032",
    // As many characters as the columns hold, three bytes each: more bytes than a column's
    // width, which a bound read of the row has to fetch in pieces.
    [] {
      std::string euros;
      for (int i = 0; i < 255; ++i) euros += "\xE2\x82\xAC";
      return euros;
    }(),
};
// The same file's texts in Windows-1252, as such a file is written, and in UTF-8.
const char* const kLatin1Text = "M\xFCller \\ '\xA7' \\";
const char* const kLatin1Utf8 = "M\xC3\xBCller \\ '\xC2\xA7' \\";
// Rows past one statement's bound values, so that staging and the pass split them.
constexpr int kFillers = 400;

// A field that the reader gives back as `text` (a quote may stand inside a plain field).
std::string Field(const std::string& text) {
  return text.find('"') == std::string::npos ? '"' + text + '"' : text;
}

std::string CardLine(int number, const std::string& text) {
  const std::string f = Field(text);
  return "A," + std::to_string(number) + ",Day," + f + ",,,,,1," + f + "," + f + "," + f + "\r\n";
}

struct TSetting {
  const char* name;
  std::string options;  // connection options that set it for the session
  std::string check;    // what the session reports once set
  std::string expected;
};

std::vector<TSetting> Settings(TTestDb db) {
  if (db == tdMariaDb) {
    return {{"defaults", "", "", ""},
            {"NO_BACKSLASH_ESCAPES,ANSI_QUOTES",
             "InitStmt={SET SESSION sql_mode='NO_BACKSLASH_ESCAPES,ANSI_QUOTES'}",
             "SELECT @@SESSION.sql_mode", "ANSI_QUOTES,NO_BACKSLASH_ESCAPES"}};
  }
  if (db == tdPostgres) {
    return {
        {"defaults", "", "", ""},
        {"standard_conforming_strings=off", "ConnSettings={SET standard_conforming_strings=off}",
         "SELECT current_setting('standard_conforming_strings') AS s", "off"}};
  }
  return {{"defaults", "", "", ""}};
}

class HostileText : public ::testing::TestWithParam<TTestDb> {};

TEST_P(HostileText, IsStoredExactly) {
  for (const TSetting& setting : Settings(GetParam())) {
    SCOPED_TRACE(setting.name);
    TIntakeEnv env(GetParam(), "JournalMode=WAL", setting.options);
    ASSERT_TRUE(env.Ok());
    if (!setting.check.empty()) {
      // Both connections, or the test would prove nothing.
      ASSERT_EQ(env.Scalar(setting.check), setting.expected);
      ASSERT_EQ(QueryText(env.stagingDb, setting.check), setting.expected);
    }
    env.SetFolders();
    env.AddCardType("Day", false, false);

    std::string file;
    for (size_t i = 0; i < kTexts.size(); ++i) {
      file += Field(kTexts[i]) + ",5\r\n" + CardLine(1000 + static_cast<int>(i), kTexts[i]);
    }
    for (int i = 0; i < kFillers; ++i) file += CardLine(5000 + i, kTexts[i % kTexts.size()]);
    ASSERT_EQ(env.Intake().ProcessCardFile(env.Drop("hostile.csv", file)), foStaged)
        << env.LogText();
    const std::string latin1 =
        "\"" + std::string(kLatin1Text) + "\",5\r\n" + CardLine(900, kLatin1Text);
    ASSERT_EQ(env.Intake().ProcessCardFile(env.Drop("latin1.csv", latin1)), foStaged)
        << env.LogText();

    std::vector<std::pair<int, std::string>> expected = {{900, kLatin1Utf8}};
    for (size_t i = 0; i < kTexts.size(); ++i) expected.emplace_back(1000 + i, kTexts[i]);
    const auto staged = env.Query("SELECT * FROM futurecard WHERE number < 5000 ORDER BY number");
    ASSERT_EQ(staged.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const std::string& text = expected[i].second;
      EXPECT_EQ(staged[i].at("number"), std::to_string(expected[i].first));
      for (const char* column : {"descr", "group_name", "last_name", "first_name"}) {
        EXPECT_EQ(staged[i].at(column), text) << column;
      }
    }
    ASSERT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"),
              std::to_string(expected.size() + kFillers));

    EXPECT_EQ(env.Intake().ProcessFutureCards(), poDone) << env.LogText();
    EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "0");
    EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM card"), std::to_string(expected.size() + kFillers));
    const auto cards = env.Query(
        "SELECT c.number, c.descr, c.last_name, c.first_name, p.name AS pool FROM card c "
        "LEFT JOIN card_pool p ON p.id = c.group_id WHERE c.number < 5000 ORDER BY c.number");
    ASSERT_EQ(cards.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const std::string& text = expected[i].second;
      for (const char* column : {"descr", "last_name", "first_name", "pool"}) {
        EXPECT_EQ(cards[i].at(column), text) << column << " of " << cards[i].at("number");
      }
    }
    EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM card_pool"), std::to_string(expected.size()));
    EXPECT_EQ(env.LogText().find("Error"), std::string::npos) << env.LogText();
  }
}

FW_ON_EVERY_DRIVER(HostileText);

}  // namespace
}  // namespace fw::test

// The report beside a rejected card file: its text, and what `fenwoldctl status` reads back.
#include <gtest/gtest.h>

#include <filesystem>

#include "intake/reject_report.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

TRejectReport Sample() {
  TRejectReport r;
  r.path = "/srv/in/cards.csv";
  r.host = "gate1";
  r.when = EncodeDate(2026, 12, 9) + EncodeTime(10, 31, 5);
  r.size = 1234;
  r.encoding = "utf-8 (valid UTF-8)";
  r.lines = 40;
  return r;
}

TEST(RejectReport, HeaderBadLinesAndOneLineSummary) {
  TRejectReport r = Sample();
  r.badLines = 2;
  r.listed = {{3, "A,12x4,Debit", "NUMBER is not a number"},
              {17, "A,5,Debit,Ada", "ERROR: value too long;\nError while executing the query"}};
  EXPECT_EQ(FormatRejectReport(r),
            "Rejected card file: cards.csv\n"
            "From:      /srv/in/cards.csv\n"
            "When:      2026-12-09 10:31:05\n"
            "Host:      gate1\n"
            "Size:      1234 bytes\n"
            "Encoding:  utf-8 (valid UTF-8)\n"
            "\n"
            "Line 3: A,12x4,Debit\n"
            "  Error: NUMBER is not a number\n"
            "Line 17: A,5,Debit,Ada\n"
            "  Error: ERROR: value too long; Error while executing the query\n"
            "\n"
            "Rejected: 2 bad line(s) of 40; nothing of the file was staged.\n");
}

TEST(RejectReport, FirstReasonAndSummaryForEachKindOfRejection) {
  const struct {
    size_t badLines;
    std::vector<TRejectedLine> listed;
    std::string reason;
    std::string first, summary;
  } cases[] = {
      {1, {{9, "x", "[ma]Data too long. State:  22001"}}, "",
       "line 9: [ma]Data too long. State:  22001",
       "Rejected: 1 bad line(s) of 40; nothing of the file was staged."},
      {0, {}, "not valid UTF-8 in line 3 (byte 57)", "not valid UTF-8 in line 3 (byte 57)",
       "Rejected: not valid UTF-8 in line 3 (byte 57); nothing of the file was staged."},
      {0, {}, "the commit failed: gone", "the commit failed: gone",
       "Rejected: the commit failed: gone; nothing of the file was staged."},
      {1500, {{2, "a", "e1"}}, "", "line 2: e1",
       "Rejected: 1500 bad line(s) of 40 (the first 1 listed); nothing of the file was staged."},
      {1, {{4, "a:b", "e:2"}}, "the card_file ledger refused its row: dup", "line 4: e:2",
       "Rejected: 1 bad line(s) of 40; the card_file ledger refused its row: dup; nothing of "
       "the file was staged."},
  };
  for (const auto& c : cases) {
    TRejectReport r = Sample();
    r.badLines = c.badLines;
    r.listed = c.listed;
    r.reason = c.reason;
    const std::string text = FormatRejectReport(r);
    EXPECT_EQ(FirstRejectReason(text), c.first) << text;
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), c.summary + "\n") << text;
  }
  EXPECT_EQ(FirstRejectReason("A,1,Debit\n"), "") << "a file that is no report";
}

TEST(RejectReport, LongLinesAreCutOnACharacterBoundary) {
  TRejectReport r = Sample();
  r.badLines = 1;
  // 199 ASCII bytes, then a two-byte character across the cut.
  r.listed = {{1, std::string(199, 'a') + "\xC3\xBC" + "tail", "e"}};
  const std::string text = FormatRejectReport(r);
  EXPECT_NE(text.find("Line 1: " + std::string(199, 'a') + "...\n"), std::string::npos) << text;
}

TEST(RejectReport, WrittenBesideTheFileUnderItsNameAndReplacedByTheNext) {
  test::TTempDir dir;
  TRejectReport r = Sample();
  r.reason = "first";
  ASSERT_TRUE(WriteRejectReport(dir.Path(), r));
  r.reason = "second";
  ASSERT_TRUE(WriteRejectReport(dir.Path(), r));
  std::string text;
  ASSERT_TRUE(ReadWholeFile(dir.Path() + "/cards.csv.rejected.txt", text));
  EXPECT_EQ(FirstRejectReason(text), "second");
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"cards.csv.rejected.txt"})
      << "no temporary file is left behind";
  EXPECT_TRUE(IsRejectReportName("cards.csv.rejected.txt"));
  EXPECT_FALSE(IsRejectReportName("cards.csv"));
}

}  // namespace
}  // namespace fw

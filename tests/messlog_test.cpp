#include "log/messlog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/files.h"
#include "platform/locale.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

namespace fs = std::filesystem;
using test::At;
using Lines = std::vector<std::string>;

// The physical lines of a log file; every line must end in CR LF.
Lines ReadLines(const std::string& path) {
  const std::string bytes = test::ReadFileBytes(path);
  Lines lines;
  size_t start = 0;
  for (size_t pos; (pos = bytes.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    lines.push_back(bytes.substr(start, pos - start));
  }
  EXPECT_EQ(start, bytes.size()) << "unterminated last line in " << path;
  return lines;
}

std::set<std::string> FileNames(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string ExpectedVersion(bool zeroPad) {
  char buf[64];
  std::snprintf(buf, sizeof buf, zeroPad ? "%.3d.%.3d.%.3d.%.3d" : "%d.%d.%d.%d",
                FENWOLD_VERSION_MAJOR + 0, FENWOLD_VERSION_MINOR + 0, FENWOLD_VERSION_PATCH + 0,
                FENWOLD_VERSION_TWEAK + 0);
  return buf;
}

std::string Separator() {
  return "..................... - " + ExecutablePath() + "   Version - " + ExpectedVersion(false);
}

std::string Stamped(TDateTime t, const std::string& text) {
  return FormatLogStamp(t) + " - " + text;
}

class MessLogTest : public testing::Test {
 protected:
  test::TTempDir dir_;
  test::TFixedClock clock_{At(2024, 12, 24, 14, 3, 7, 250)};  // a Tuesday
};

TEST(FormatLogStamp, UsesTheGivenOrTheLocaleSeparators) {
  const TDateTime t = At(2024, 12, 25, 14, 3, 7, 250);
  EXPECT_EQ(FormatLogStamp(t, '/', ':'), "14:03:07.250 25/12/24");
  EXPECT_EQ(FormatLogStamp(t, '.', ':'), "14:03:07.250 25.12.24");
  EXPECT_EQ(FormatLogStamp(At(2009, 1, 2, 3, 4, 5, 6), '-', '.'), "03.04.05.006 02-01-09");
  // Tests run in the C locale.
  EXPECT_EQ(DateSeparator(), '/');
  EXPECT_EQ(TimeSeparator(), ':');
  EXPECT_EQ(FormatLogStamp(t), "14:03:07.250 25/12/24");
}

TEST(SeparatorInFormat, FindsTheFirstLiteralSeparator) {
  const struct {
    const char* format;
    char fallback, separator;
  } cases[] = {
      {"%m/%d/%y", '?', '/'},
      {"%d.%m.%Y", '?', '.'},
      {"%Y-%m-%d", '?', '-'},
      {"%H:%M:%S", '?', ':'},
      {"%H.%M.%S", '?', '.'},
      {"%T", '?', ':'},
      {"%R", '?', ':'},
      {"%D", '?', '/'},
      {"%F", '?', '-'},
      {"%e. %B %Y", '?', '.'},
      {"%Ey/%m/%d", '?', '/'},
      {"%OH:%OM", '?', ':'},
      {"%-d/%-m/%Y", '?', '/'},
      {"", '/', '/'},
      {"%d %m %Y", '/', '/'},
      {"%Y\xe5\xb9\xb4%m\xe6\x9c\x88%d\xe6\x97\xa5", '/', '/'},  // multi-byte: fallback
      {"%", ':', ':'},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SeparatorInFormat(c.format, c.fallback), c.separator) << c.format;
  }
}

TEST(Version, BannerAndFileVersionOfTheRunningExecutable) {
  EXPECT_EQ(FileVersionText(""), ExpectedVersion(false));
  EXPECT_EQ(FileVersionText("", true), ExpectedVersion(true));
  EXPECT_EQ(FileVersionText(ExecutablePath()), ExpectedVersion(false));
  EXPECT_EQ(VersionBanner(""), ExecutablePath() + "   Version - " + ExpectedVersion(false));
  test::TTempDir dir;
  const std::string other = dir.File("other.exe");
  ASSERT_TRUE(test::WriteFileBytes(other, "MZ"));
  EXPECT_EQ(FileVersionText(other), "");
  EXPECT_EQ(VersionBanner(other), other + "   Version - ");
  EXPECT_EQ(VersionBanner(dir.File("missing")), dir.File("missing") + "   Version - ");
}

TEST_F(MessLogTest, FirstWriteOfARunAppendsSeparatorOpeningLineAndText) {
  const std::string path = dir_.File("svc.log");
  ASSERT_TRUE(test::WriteFileBytes(path, "from last run\r\n"));
  const TDateTime built = clock_.Now();
  {
    TMessLog log(path, TLogOptions{.openingText = "Start Log"}, clock_);
    EXPECT_EQ(log.FileName(), path);
    EXPECT_EQ(log.CurrentFileName(), path);
    EXPECT_EQ(ReadLines(path), Lines{"from last run"});  // nothing written yet
    clock_.Set(At(2024, 12, 24, 14, 5, 0));
    log.AddLine("hello");
    clock_.Set(At(2024, 12, 24, 14, 6, 0));
    log.AddLine("again");
    clock_.Set(At(2024, 12, 24, 14, 7, 0));
  }
  EXPECT_EQ(ReadLines(path), (Lines{"from last run", Separator(), Stamped(built, "Start Log"),
                                    Stamped(At(2024, 12, 24, 14, 5, 0), "hello"),
                                    Stamped(At(2024, 12, 24, 14, 6, 0), "again"),
                                    Stamped(At(2024, 12, 24, 14, 7, 0), "End Log")}));
}

TEST_F(MessLogTest, UsualFormStartsWithStartLogAndNoSeparatorWhenAsked) {
  const std::string path = dir_.File("plain.log");
  ASSERT_TRUE(CreateEmptyFile(path));  // an existing file gets no separator when asked so
  {
    TMessLog log(path, TLogOptions{.noSeparator = true});
    log.AddLine("work");
  }
  const Lines lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" - Start Log"), std::string::npos);
  EXPECT_NE(lines[1].find(" - work"), std::string::npos);
  EXPECT_NE(lines[2].find(" - End Log"), std::string::npos);
  EXPECT_EQ(lines[1].size(), std::string("hh:nn:ss.zzz dd/mm/yy - work").size());
}

TEST_F(MessLogTest, EmptyAddLineWithNothingPendingTouchesNothing) {
  {
    TMessLog log(dir_.File("fenwold.log"), TLogOptions{.openingText = "", .dailyFiles = true},
                 clock_);
    EXPECT_EQ(log.CurrentFileName(), dir_.File("fenwold3.log"));
    clock_.Set(At(2024, 12, 25, 9, 0));  // next day: a write would switch files
    log.AddLine("");
    EXPECT_EQ(log.CurrentFileName(), dir_.File("fenwold3.log"));
  }
  EXPECT_TRUE(FileNames(dir_.Path()).empty());
}

TEST_F(MessLogTest, EmptyOpeningTextWritesNeitherStartNorEnd) {
  const std::string path = dir_.File("quiet.log");
  {
    TMessLog log(path, TLogOptions{.openingText = ""}, clock_);
    EXPECT_EQ(log.PendingCount(), 0);
    EXPECT_EQ(log.Add("queued"), 0);
  }
  EXPECT_EQ(ReadLines(path), (Lines{Separator(), Stamped(clock_.Now(), "queued")}));
}

TEST_F(MessLogTest, EmptyFileNameIsMessagesLogInTheCurrentFolder) {
  const fs::path before = fs::current_path();
  ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
  std::string name;
  {
    TMessLog log("", TLogOptions{.openingText = ""}, clock_);
    name = log.FileName();
  }
  const fs::path expected = fs::current_path() / "Messages.log";
  fs::current_path(before);
  EXPECT_EQ(name, expected.string());
}

TEST_F(MessLogTest, RelativeNameIsMadeAbsoluteAndItsFoldersCreated) {
  const std::string path = dir_.File("a/b/../c/svc.log");
  TMessLog log(path, TLogOptions{.openingText = ""}, clock_);
  EXPECT_EQ(log.FileName(), dir_.File("a/c/svc.log"));
  EXPECT_TRUE(DirectoryExists(dir_.File("a/c")));
}

TEST_F(MessLogTest, DayFilesCycleThroughTheWeekdays) {
  clock_.Set(At(2024, 12, 22, 10, 0));  // Sunday
  TMessLog log(dir_.File("fenwold.log"), TLogOptions{.openingText = "", .dailyFiles = true},
               clock_);
  for (int day = 0; day < 8; ++day) {
    clock_.Set(At(2024, 12, 22, 10, 0) + day);
    log.AddLine("day " + std::to_string(day));
    EXPECT_EQ(log.CurrentFileName(), dir_.File("fenwold" + std::to_string(day % 7 + 1) + ".log"));
  }
  EXPECT_EQ(FileNames(dir_.Path()),
            (std::set<std::string>{"fenwold1.log", "fenwold2.log", "fenwold3.log", "fenwold4.log",
                                   "fenwold5.log", "fenwold6.log", "fenwold7.log"}));
  // The second Sunday appended to the first one's file.
  const Lines sunday = ReadLines(dir_.File("fenwold1.log"));
  ASSERT_EQ(sunday.size(), 3u);
  EXPECT_EQ(sunday[0], Separator());
  EXPECT_NE(sunday[1].find(" - day 0"), std::string::npos);
  EXPECT_NE(sunday[2].find(" - day 7"), std::string::npos);
}

TEST_F(MessLogTest, DayOfMonthFilesCycleThroughUpTo31) {
  clock_.Set(At(2025, 1, 1, 10, 0));
  TMessLog log(dir_.File("svc.log"),
               TLogOptions{.openingText = "", .dailyFiles = true, .useDayOfMonth = true}, clock_);
  std::set<std::string> expected;
  for (int day = 1; day <= 31; ++day) {
    clock_.Set(At(2025, 1, day, 10, 0));
    log.AddLine("x");
    expected.insert("svc" + std::to_string(day) + ".log");
  }
  clock_.Set(At(2025, 2, 1, 10, 0));
  log.AddLine("x");
  EXPECT_EQ(log.CurrentFileName(), dir_.File("svc1.log"));
  EXPECT_EQ(FileNames(dir_.Path()), expected);
}

TEST_F(MessLogTest, DayNumberGoesBeforeTheExtensionOrAtTheEnd) {
  TMessLog a(dir_.File("fenwold"), TLogOptions{.openingText = "", .dailyFiles = true}, clock_);
  EXPECT_EQ(a.CurrentFileName(), dir_.File("fenwold3"));
  TMessLog b(dir_.File("logs.d/fenwold"), TLogOptions{.openingText = "", .dailyFiles = true},
             clock_);
  EXPECT_EQ(b.CurrentFileName(), dir_.File("logs.d/fenwold3"));
  TMessLog c(dir_.File("x.tar.log"), TLogOptions{.openingText = "", .dailyFiles = true}, clock_);
  EXPECT_EQ(c.CurrentFileName(), dir_.File("x.tar3.log"));
}

TEST_F(MessLogTest, ReplaceWithDayFilesKeepsTodaysFileButRenewsAnOldOne) {
  const std::string tuesday = dir_.File("fenwold3.log");
  const std::string wednesday = dir_.File("fenwold4.log");
  ASSERT_TRUE(test::WriteFileBytes(tuesday, "earlier today\r\n"));
  ASSERT_TRUE(test::WriteFileBytes(wednesday, "last week\r\n"));
  TMessLog log(dir_.File("fenwold.log"),
               TLogOptions{.openingText = "", .replaceOldFile = true, .dailyFiles = true}, clock_);
  log.AddLine("restart");
  EXPECT_EQ(ReadLines(tuesday),
            (Lines{"earlier today", Separator(), Stamped(clock_.Now(), "restart")}));
  clock_.Set(At(2024, 12, 25, 0, 0, 1));
  log.AddLine("new day");
  EXPECT_EQ(ReadLines(wednesday), (Lines{Separator(), Stamped(clock_.Now(), "new day")}));
}

TEST_F(MessLogTest, DaySwitchWithoutReplaceAppendsWithoutSeparator) {
  const std::string wednesday = dir_.File("fenwold4.log");
  ASSERT_TRUE(test::WriteFileBytes(wednesday, "last week\r\n"));
  TMessLog log(dir_.File("fenwold.log"), TLogOptions{.openingText = "", .dailyFiles = true},
               clock_);
  log.AddLine("tuesday");
  clock_.Set(At(2024, 12, 25, 8, 0));
  log.AddLine("wednesday");
  EXPECT_EQ(ReadLines(wednesday), (Lines{"last week", Stamped(clock_.Now(), "wednesday")}));
}

TEST_F(MessLogTest, LinesPendingAtMidnightGoToTheNewDaysFile) {
  const TDateTime built = At(2024, 12, 28, 23, 59, 59, 500);  // Saturday
  clock_.Set(built);
  TMessLog log(dir_.File("fenwold.log"),
               TLogOptions{.openingText = "Start Log", .dailyFiles = true}, clock_);
  EXPECT_EQ(log.CurrentFileName(), dir_.File("fenwold7.log"));
  clock_.Set(At(2024, 12, 29, 0, 0, 1));
  log.AddLine("after midnight");
  EXPECT_FALSE(FileExists(dir_.File("fenwold7.log")));
  EXPECT_EQ(ReadLines(dir_.File("fenwold1.log")), (Lines{Separator(), Stamped(built, "Start Log"),
                                                         Stamped(clock_.Now(), "after midnight")}));
}

TEST_F(MessLogTest, SingleFileIsReplacedAtConstructionWhenAsked) {
  const std::string path = dir_.File("one.log");
  ASSERT_TRUE(test::WriteFileBytes(path, "old\r\n"));
  TMessLog log(path, TLogOptions{.openingText = "", .replaceOldFile = true, .noSeparator = true},
               clock_);
  EXPECT_FALSE(FileExists(path));
  log.AddLine("fresh");
  // A new file always begins with the separator, even with noSeparator.
  EXPECT_EQ(ReadLines(path), (Lines{Separator(), Stamped(clock_.Now(), "fresh")}));
}

TEST_F(MessLogTest, AddQueuesUntilMaxPendingThenFlushes) {
  const std::string path = dir_.File("q.log");
  TMessLog log(path, TLogOptions{.openingText = "", .noSeparator = true}, clock_);
  EXPECT_EQ(log.MaxPending(), 250);
  log.SetMaxPending(3);
  EXPECT_EQ(log.Add("a"), 0);
  EXPECT_EQ(log.Add("b"), 1);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(log.Add("c"), -1);
  EXPECT_EQ(log.PendingCount(), 0);
  EXPECT_EQ(ReadLines(path), (Lines{Separator(), Stamped(clock_.Now(), "a"),
                                    Stamped(clock_.Now(), "b"), Stamped(clock_.Now(), "c")}));
  log.SetMaxPending(0);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(log.Add("x"), i);
  EXPECT_EQ(ReadLines(path).size(), 4u);
  log.AddLine("");  // an empty text flushes the pending lines only
  EXPECT_EQ(log.PendingCount(), 0);
  EXPECT_EQ(ReadLines(path).size(), 304u);
}

TEST_F(MessLogTest, UnopenableFileKeepsPendingLinesAndLosesTheText) {
  const std::string path = dir_.File("blocked.log");
  ASSERT_TRUE(fs::create_directory(path));  // a folder in the file's place cannot be opened
  TMessLog log(path, TLogOptions{.openingText = "Start Log"}, clock_);
  const auto start = std::chrono::steady_clock::now();
  log.AddLine("lost");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
  EXPECT_EQ(log.PendingCount(), 1);
  fs::remove(path);
  log.AddLine("found");
  EXPECT_EQ(ReadLines(path), (Lines{Separator(), Stamped(clock_.Now(), "Start Log"),
                                    Stamped(clock_.Now(), "found")}));
}

TEST_F(MessLogTest, TextWithLineBreaksIsWrittenAsIs) {
  const std::string path = dir_.File("raw.log");
  ASSERT_TRUE(CreateEmptyFile(path));
  TMessLog log(path, TLogOptions{.openingText = "", .noSeparator = true}, clock_);
  log.AddLine("first\r\nsecond");
  EXPECT_EQ(ReadLines(path), (Lines{Stamped(clock_.Now(), "first"), "second"}));
}

TEST_F(MessLogTest, ConcurrentAddLineLosesAndTearsNoLine) {
  const std::string path = dir_.File("threads.log");
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  ASSERT_TRUE(CreateEmptyFile(path));
  {
    TMessLog log(path, TLogOptions{.openingText = "", .noSeparator = true});  // the real clock
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < kLines; ++i) {
          if (i % 50 == 0) log.Add("queued " + std::to_string(t) + "/" + std::to_string(i));
          log.AddLine("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                      std::string(static_cast<size_t>(i % 97), 'x'));
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  std::set<std::string> seen;
  size_t total = 0;
  const std::string stampShape = "hh:nn:ss.zzz dd/mm/yy - ";
  for (const std::string& line : ReadLines(path)) {
    ++total;
    ASSERT_GT(line.size(), stampShape.size()) << line;
    ASSERT_EQ(line.substr(12, 1), " ") << line;
    ASSERT_EQ(line.substr(21, 3), " - ") << line;
    seen.insert(line.substr(24));
  }
  const size_t queued = kThreads * (kLines / 50);
  EXPECT_EQ(total, kThreads * kLines + queued);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      ASSERT_TRUE(seen.count("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                             std::string(static_cast<size_t>(i % 97), 'x')))
          << t << "/" << i;
    }
  }
  EXPECT_EQ(seen.size(), total);
}

TEST(RemoveLogFile, DeletesEvenAReadOnlyFile) {
  test::TTempDir dir;
  const std::string path = dir.File("ro.log");
  ASSERT_TRUE(test::WriteFileBytes(path, "x"));
  fs::permissions(path, fs::perms::owner_read);
  RemoveLogFile(path);
  EXPECT_FALSE(fs::exists(path));
  RemoveLogFile(dir.File("never-there.log"));  // nothing to do, nothing raised
}

TEST(RemoveLogFile, MovesAsideToDelWhenTheDeleteFails) {
  test::TTempDir dir;
  // A folder with content cannot be deleted as a file but can be renamed: it stands in for a
  // file another program holds open on Windows.
  const std::string path = dir.File("held.log");
  ASSERT_TRUE(fs::create_directory(path));
  ASSERT_TRUE(test::WriteFileBytes(path + "/inside", "still here"));
  ASSERT_TRUE(test::WriteFileBytes(path + ".del", "older aside"));
  RemoveLogFile(path);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(test::ReadFileBytes(path + ".del/inside"), "still here");
}

}  // namespace
}  // namespace fw

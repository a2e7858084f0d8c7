// How the drop folder is watched: the file-system tables, the plan the service logs, and the
// poll's decision to wake the tick.
#include "service/drop_poll.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace fw {
namespace {

using namespace std::chrono_literals;

TEST(FolderKind, StatfsTypes) {
  const struct {
    uint64_t fsType;
    TEventReach events;
    const char* name;
  } cases[] = {
      {0x6969, erThisHostOnly, "nfs"},
      {0xFF534D42, erThisHostOnly, "cifs"},
      // f_type is a signed word: CIFS and SMB2 come back sign-extended.
      {0xFFFFFFFFFF534D42ull, erThisHostOnly, "cifs"},
      {0xFFFFFFFFFE534D42ull, erThisHostOnly, "smb2"},
      {0x517B, erThisHostOnly, "smb"},
      {0x65735546, erThisHostOnly, "fuse"},  // also fuseblk, sshfs, bindfs
      {0x01021997, erThisHostOnly, "9p"},
      {0x00C36400, erThisHostOnly, "ceph"},
      {0xEF53, erEveryHost, "ext4"},
      {0x58465342, erEveryHost, "xfs"},
      {0x01021994, erEveryHost, "tmpfs"},
      {0x794C7630, erEveryHost, "overlay"},
      {0x12345678, erEveryHost, "type 0x12345678"},
  };
  for (const auto& c : cases) {
    const TFolderKind kind = FolderKindOfFsType(c.fsType);
    EXPECT_EQ(kind.events, c.events) << c.name;
    EXPECT_EQ(kind.fileSystem, c.name);
  }
}

TEST(FolderKind, WindowsPaths) {
  constexpr unsigned kFixed = 3, kRemote = 4, kRemovable = 2;
  const struct {
    const char* path;
    unsigned driveType;
    TEventReach events;
    const char* name;
  } cases[] = {
      {"C:\\cards\\in", kFixed, erEveryHost, "local drive"},
      {"E:\\in", kRemovable, erEveryHost, "local drive"},
      {"Z:\\cards\\in", kRemote, erThisHostOnly, "remote drive"},
      {"\\\\files\\cards\\in", kRemote, erThisHostOnly, "UNC path"},
      {"//files/cards/in", kFixed, erThisHostOnly, "UNC path"},
      {"\\\\?\\UNC\\files\\cards", kRemote, erThisHostOnly, "UNC path"},
      {"\\\\?\\C:\\cards\\in", kFixed, erEveryHost, "local drive"},
      {"\\\\.\\C:\\cards", kFixed, erEveryHost, "local drive"},
  };
  for (const auto& c : cases) {
    const TFolderKind kind = FolderKindOfWindowsPath(c.path, c.driveType);
    EXPECT_EQ(kind.events, c.events) << c.path;
    EXPECT_EQ(kind.fileSystem, c.name) << c.path;
  }
}

TEST(FolderKind, OfARealFolder) {
  test::TTempDir dir;
  TFolderKind kind;
  std::string error;
  ASSERT_TRUE(GetFolderKind(dir.Path(), kind, error)) << error;
  EXPECT_FALSE(kind.fileSystem.empty());
  EXPECT_FALSE(GetFolderKind(dir.File("no-such-folder"), kind, error));
  EXPECT_FALSE(error.empty());
}

TEST(PlanDropWatch, WayAndLine) {
  const TFolderKind fuse{erThisHostOnly, "fuse", "a file system of type fuse"};
  const TFolderKind ext4{erEveryHost, "ext4", "a file system of type ext4"};
  const struct {
    const char* what;
    TEventsSetting events;
    std::optional<int32_t> poll;
    std::optional<TFolderKind> kind;
    TWatchOutcome watch;
    bool planEvents;
    unsigned pollMs;
    const char* line;
  } cases[] = {
      {"local", esEventsOn, {}, ext4, woWatched, true, 0,
       "Drop folder /in is on a file system of type ext4: watched for events"},
      {"local, poll asked for", esEventsOn, 500, ext4, woWatched, true, 500,
       "Drop folder /in is on a file system of type ext4: watched for events and listed every 500 ms"},
      {"share", esEventsOn, {}, fuse, woWatched, true, 1000,
       "Drop folder /in is on a file system of type fuse, which raises no events for other hosts' "
       "writes: watched for events and listed every 1000 ms"},
      {"share, events off", esEventsOff, {}, fuse, woNotTried, false, 1000,
       "Drop folder /in is on a file system of type fuse, which raises no events for other hosts' "
       "writes: CardFileEvents is 0: listed every 1000 ms"},
      {"share, poll off", esEventsOn, 0, fuse, woWatched, true, 0,
       "Drop folder /in is on a file system of type fuse, which raises no events for other hosts' "
       "writes: CardFilePollMs is 0: watched for events"},
      {"share, negative poll", esEventsOff, -5, fuse, woNotTried, false, 0,
       "Drop folder /in is on a file system of type fuse, which raises no events for other hosts' "
       "writes: CardFileEvents and CardFilePollMs are 0: card files are picked up every 25 s"},
      {"share, poll too short", esEventsOn, 1, fuse, woWatched, true, kShortestPollMs,
       "Drop folder /in is on a file system of type fuse, which raises no events for other hosts' "
       "writes: watched for events and listed every 100 ms"},
      {"local, events off", esEventsOff, {}, ext4, woNotTried, false, 0,
       "Drop folder /in is on a file system of type ext4: CardFileEvents is 0: card files are picked "
       "up every 25 s"},
      {"cannot be watched", esEventsOn, {}, std::nullopt, woNotWatched, false, 1000,
       "Drop folder /in cannot be watched (No such file or directory): listed every 1000 ms"},
      {"cannot be watched, poll off", esEventsOn, 0, std::nullopt, woNotWatched, false, 0,
       "Drop folder /in cannot be watched (No such file or directory); card files are picked up "
       "every 25 s"},
  };
  for (const auto& c : cases) {
    TDropWatchFacts facts;
    facts.folder = "/in";
    facts.events = c.events;
    facts.pollSetting = c.poll;
    facts.kind = c.kind;
    facts.kindError = "No such file or directory";
    facts.watch = c.watch;
    facts.watchError = "No such file or directory";
    facts.tickMs = 25000;
    const TDropWatchPlan plan = PlanDropWatch(facts);
    EXPECT_EQ(plan.events, c.planEvents) << c.what;
    EXPECT_EQ(plan.pollMs, c.pollMs) << c.what;
    EXPECT_EQ(plan.line, c.line) << c.what;
  }
}

// One folder's listings in turn, each with the time it was taken and whether it wakes.
TEST(DropPoll, WakesOnNewOrChangedFilesOnly) {
  const auto file = [](const char* name, uint64_t size, int64_t modified) {
    return TListedFile{name, {size, modified}};
  };
  using L = std::vector<TListedFile>;
  const struct {
    const char* what;
    std::chrono::milliseconds at;
    L listing;
    bool wakes;
  } steps[] = {
      {"empty", 0ms, {}, false},
      {"still empty, long after", 60s, {}, false},
      {"a file arrives", 61s, {file("a.csv", 10, 1)}, true},
      {"unchanged, soon after", 62s, {file("a.csv", 10, 1)}, false},
      {"grows", 63s, {file("a.csv", 20, 2)}, true},
      {"rewritten to the same size", 64s, {file("a.csv", 20, 3)}, true},
      {"a second file before it", 65s, {file("0.csv", 5, 1), file("a.csv", 20, 3)}, true},
      {"the first goes", 66s, {file("a.csv", 20, 3)}, false},
      {"waits unchanged", 69s, {file("a.csv", 20, 3)}, false},
      {"waits unchanged for long", 70s, {file("a.csv", 20, 3)}, true},
      {"staged and gone", 71s, {}, false},
      {"back with its old stamp", 72s, {file("a.csv", 20, 3)}, true},
  };
  TDropPoll poll;
  const auto start = TDropPoll::TClock::time_point{} + 1h;
  for (const auto& s : steps) {
    EXPECT_EQ(poll.ShouldWake(s.listing, start + s.at), s.wakes) << s.what;
  }
  poll.Forget();
  EXPECT_TRUE(poll.ShouldWake({file("a.csv", 20, 3)}, start + 73s)) << "a new folder";
}

TEST(ListCardFileStamps, PicksWhatListCardFilesPicksWithTheirStamps) {
  test::TTempDir dir;
  for (const char* name : {"b.csv", "A.CSV", "x.txt", ".hidden.csv"}) {
    test::WriteFileBytes(dir.File(name), name);
  }
  std::filesystem::create_directory(dir.File("folder.csv"));
  std::filesystem::create_symlink(dir.File("b.csv"), dir.File("link.csv"));
  std::vector<TListedFile> files;
  ASSERT_TRUE(ListCardFileStamps(dir.Path(), files));
  std::vector<std::string> names;
  for (const TListedFile& f : files) {
    names.push_back(f.name);
    TFileStamp stamp;
    ASSERT_TRUE(GetFileStamp(dir.File(f.name), stamp));
    EXPECT_EQ(f.stamp, stamp) << f.name;
  }
  EXPECT_EQ(names, ListCardFiles(dir.Path()));
  EXPECT_FALSE(ListCardFileStamps(dir.File("no-such-folder"), files));
  EXPECT_TRUE(files.empty());
}

}  // namespace
}  // namespace fw

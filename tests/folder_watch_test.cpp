// The drop folder's watch on real folders: what wakes it and what must not (intake's own
// opens and moves, or every file left in the folder would wake it again without end), a
// folder replaced under it, a folder changed in settings, and one that cannot be watched.
#include "platform/folder_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/folder.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

using namespace std::chrono_literals;
using test::TTempDir;
using test::WriteFileBytes;

bool WaitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class FolderWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    drop_ = dir_.File("drop");
    std::filesystem::create_directory(drop_);
  }

  // Written beside the folder, then renamed in: how producers deliver.
  void MoveIn(const std::string& folder, const std::string& name) {
    const std::string temp = dir_.File(name + ".tmp");
    ASSERT_TRUE(WriteFileBytes(temp, "A,1,STAFF\r\n"));
    std::filesystem::rename(temp, folder + PathDelim + name);
  }
  // The events before this one have been seen once its wake has come.
  bool Sentinel(const std::string& folder) {
    const int before = wakes_;
    MoveIn(folder, "sentinel" + std::to_string(before) + ".csv");
    return WaitFor([&] { return wakes_ > before; });
  }

  TTempDir dir_;
  std::string drop_;
  std::atomic<int> wakes_{0};
  TFolderWatcher watch_{[this] { ++wakes_; }};
};

TEST_F(FolderWatch, FilesThatArriveWakeItIntakesOwnWorkDoesNot) {
  std::string error;
  ASSERT_TRUE(watch_.Watch(drop_, error)) << error;
  EXPECT_TRUE(watch_.Watching());
  EXPECT_EQ(watch_.Folder(), drop_);
  ASSERT_TRUE(WriteFileBytes(drop_ + PathDelim + "left.csv", "x"));
  ASSERT_TRUE(WaitFor([&] { return wakes_ > 0; }));  // written in place and closed

  struct TCase {
    const char* what;
    std::function<void()> act;
    bool wakes;
  };
  const std::string left = drop_ + PathDelim + "left.csv";
  const TCase cases[] = {
      {"moved in", [&] { MoveIn(drop_, "new.csv"); }, true},
      {"written in place", [&] { WriteFileBytes(drop_ + PathDelim + "placed.csv", "x"); }, true},
      // The exclusive-open test of a scan on a file that stays (held by its writer, or its
      // destination unset).
      {"held and released",
       [&] {
         THeldFile held;
         ASSERT_EQ(held.Hold(left), hrHeld);
         std::string bytes;
         EXPECT_TRUE(held.ReadAll(bytes));
       },
       false},
      {"moved out",
       [&] {
         THeldFile held;
         ASSERT_EQ(held.Hold(drop_ + PathDelim + "new.csv"), hrHeld);
         ASSERT_TRUE(held.MoveTo(dir_.File("done.csv")));
       },
       false},
      {"a subfolder made", [&] { std::filesystem::create_directory(drop_ + PathDelim + "sub"); },
       false},
      // A producer's temporary name: the rename to .csv is what counts.
      {"another name written", [&] { WriteFileBytes(drop_ + PathDelim + "part.tmp", "x"); }, false},
      {"renamed to .csv",
       [&] {
         std::filesystem::rename(drop_ + PathDelim + "part.tmp", drop_ + PathDelim + "part.CSV");
       },
       true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Sentinel(drop_));  // nothing of the case before is still on its way
    const int before = wakes_;
    c.act();
    if (c.wakes) {
      EXPECT_TRUE(WaitFor([&] { return wakes_ > before; }));
    } else {
      // A wake of the case itself shows as a second one (or merges with the sentinel's, which
      // can only hide a fault, never invent one).
      ASSERT_TRUE(Sentinel(drop_));
      EXPECT_EQ(wakes_, before + 1);
    }
  }
}

// Deleted and made again, renamed away and replaced: files in the new folder still wake it,
// at once on Linux (the watch follows the name), after the next Watch where it ended.
TEST_F(FolderWatch, AReplacedFolderIsWatchedAgain) {
  std::string error;
  ASSERT_TRUE(watch_.Watch(drop_, error)) << error;
  const auto replace = [&](bool byRename) {
    if (byRename) {
      std::filesystem::rename(drop_, dir_.File("old-drop"));
    } else {
      std::filesystem::remove_all(drop_);
    }
    std::filesystem::create_directory(drop_);
  };
  for (bool byRename : {false, true}) {
    SCOPED_TRACE(byRename ? "renamed away" : "deleted");
    const int before = wakes_;
    replace(byRename);
    // The watch follows at once and says so (a scan must look at the new folder), or says it
    // has ended, as the service asks at every tick.
    ASSERT_TRUE(WaitFor([&] { return wakes_ > before || !watch_.Watching(); }));
    if (!watch_.Watching()) {
      ASSERT_TRUE(watch_.Watch(drop_, error)) << error;
    }
    ASSERT_TRUE(Sentinel(drop_)) << "a file in the new folder wakes nobody";
    if (byRename) {
      // A replacement may wake twice (the folder gone, then back under its parent's watch), so
      // one wake can still be on its way when a sentinel's wait ends: allow that one.
      const int after = wakes_;
      MoveIn(dir_.File("old-drop"), "stray.csv");  // the old folder is no longer ours
      ASSERT_TRUE(Sentinel(drop_));
      EXPECT_LE(wakes_, after + 2);
    }
  }
}

TEST_F(FolderWatch, FollowsTheFolderItIsGivenAndSaysWhenItCannot) {
  std::string error;
  const std::string other = dir_.File("other");
  std::filesystem::create_directory(other);
  ASSERT_TRUE(watch_.Watch(drop_, error)) << error;
  ASSERT_TRUE(watch_.Watch(other, error)) << error;
  EXPECT_EQ(watch_.Folder(), other);
  const int before = wakes_;
  MoveIn(drop_, "old.csv");
  ASSERT_TRUE(Sentinel(other));
  EXPECT_EQ(wakes_, before + 1) << "the folder watched before still wakes it";

  error.clear();
  EXPECT_FALSE(watch_.Watch(dir_.File("no-such-folder"), error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(watch_.Watching());
  ASSERT_TRUE(watch_.Watch(other, error)) << error;  // and again once there is one
  EXPECT_TRUE(Sentinel(other));
}

}  // namespace
}  // namespace fw

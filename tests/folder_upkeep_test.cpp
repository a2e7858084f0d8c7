// The done folder's retention and usage, on real files.
#include <gtest/gtest.h>

#include <ctime>

#include "intake/folder_upkeep.h"
#include "platform/folder.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

TEST(FolderUpkeep, OnlyCardFilesOlderThanTheRetentionGo) {
  test::TTempDir dir;
  for (const char* name : {"a.csv", "b.CSV", "notes.txt", ".hidden.csv"}) {
    ASSERT_TRUE(test::WriteFileBytes(dir.File(name), "12345"));
  }
  const int64_t now = std::time(nullptr);
  const TFolderUsage before = FolderUsage(dir.Path());
  EXPECT_EQ(before.files, 3) << "hidden files are not counted";
  EXPECT_EQ(before.bytes, 15u);

  const struct {
    int days;
    int64_t at;
    long long removed;
  } cases[] = {
      {0, now + 400 * 86400LL, 0},  // 0 keeps everything
      {30, now + 29 * 86400LL, 0},  // not old enough yet
      {30, now + 31 * 86400LL, 2},  // both card files; the text file and the hidden one stay
  };
  for (const auto& c : cases) {
    const TFolderPrune prune = PruneOldCardFiles(dir.Path(), c.days, c.at);
    EXPECT_EQ(prune.removed, c.removed) << c.days << " days";
    EXPECT_EQ(prune.failed, 0);
    if (c.removed > 0) {
      EXPECT_EQ(prune.bytes, 10u);
    }
  }
  EXPECT_FALSE(FileExists(dir.File("a.csv")));
  EXPECT_TRUE(FileExists(dir.File("notes.txt")));
  EXPECT_TRUE(FileExists(dir.File(".hidden.csv")));
  EXPECT_EQ(PruneLine({2, 3 * 1024 * 1024, 1}, 30, "/srv/done"),
            "Removed 2 card file(s) older than 30 day(s) from /srv/done (3.0 MB); 1 could not be "
            "removed");
}

}  // namespace
}  // namespace fw

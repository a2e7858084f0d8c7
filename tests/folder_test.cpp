// The drop-folder layer on real files: listing, the exclusive-open test, moves.
#include "platform/folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "intake/card_intake.h"
#include "tests/support/file_holder.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

using test::FileExistsAt;
using test::ReadFileBytes;
using test::TTempDir;
using test::WriteFileBytes;

TEST(ListCardFiles, RegularCsvFilesInAnyCaseOnlySortedByName) {
  TTempDir dir;
  for (const char* name : {"c.Csv", "a.csv", "B.CSV", "d.txt", "e.csv.bak", ".hidden.csv", "csv",
                           "x.csvx", "x.csv1", "x.csv~", "\xC3\x9C 2024.csv"}) {
    WriteFileBytes(dir.File(name), "x");
  }
  std::filesystem::create_directory(dir.File("folder.csv"));
  std::filesystem::create_symlink(dir.File("a.csv"), dir.File("link.csv"));
  std::filesystem::create_symlink(dir.File("missing"), dir.File("dangling.csv"));
  ASSERT_EQ(::mkfifo((dir.File("fifo.csv")).c_str(), 0600), 0);
  WriteFileBytes(dir.File("readonly.csv"), "x");
  ::chmod((dir.File("readonly.csv")).c_str(), 0444);  // listed; the open test refuses it later

  EXPECT_EQ(
      ListCardFiles(dir.Path()),
      (std::vector<std::string>{"B.CSV", "a.csv", "c.Csv", "readonly.csv", "\xC3\x9C 2024.csv"}));
  EXPECT_TRUE(ListCardFiles(dir.File("no-such-folder")).empty());
}

TEST(HeldFile, RefusesFilesInUseReadOnlyOrNotRegular) {
  TTempDir dir;
  const std::string file = dir.File("a.csv");
  WriteFileBytes(file, "A,1,T\n");
  const auto hold = [](const std::string& path) { return THeldFile().Hold(path); };
  EXPECT_EQ(hold(file), hrHeld);
  {
    test::TFileHolder holder(file);
    EXPECT_EQ(hold(file), hrBusy);
  }
  EXPECT_EQ(hold(file), hrHeld) << "free again once the other process let go";
  {
    THeldFile first;
    ASSERT_EQ(first.Hold(file), hrHeld);
    EXPECT_EQ(hold(file), hrBusy) << "a second instance cannot take a held file";
  }

  ::chmod(file.c_str(), 0444);
  EXPECT_EQ(hold(file), hrBusy) << "no write bit fails even for root";
  ::chmod(file.c_str(), 0644);

  std::filesystem::create_symlink(file, dir.File("link.csv"));
  EXPECT_EQ(hold(dir.File("link.csv")), hrBusy);
  EXPECT_EQ(hold(dir.File("missing.csv")), hrGone);
  EXPECT_EQ(hold(dir.Path()), hrBusy);
  EXPECT_EQ(ReadFileBytes(file), "A,1,T\n") << "the test never changes the file";
}

// The file is read and moved through the hold; the hold ends with the move.
TEST(HeldFile, ReadsAndMovesWhileHeld) {
  TTempDir dir;
  std::filesystem::create_directory(dir.File("done"));
  const std::string file = dir.File("b.csv");
  WriteFileBytes(file, "A,2,T\n");
  THeldFile held;
  ASSERT_EQ(held.Hold(file), hrHeld);
  std::string bytes;
  ASSERT_TRUE(held.ReadAll(bytes));
  EXPECT_EQ(bytes, "A,2,T\n");
  EXPECT_EQ(held.Stamp().size, 6u);
  ASSERT_TRUE(held.MoveTo(dir.File("done/b.csv")));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(THeldFile().Hold(dir.File("done/b.csv")), hrHeld) << "released after the move";
}

// Through a share another host can move the held file away and a producer can drop a new
// one under the same name: moving "the held file" must not take the new one unstaged.
TEST(HeldFile, NeverMovesAFileThatNowBearsItsName) {
  TTempDir dir;
  std::filesystem::create_directory(dir.File("done"));
  std::filesystem::create_directory(dir.File("elsewhere"));
  const std::string file = dir.File("c.csv");
  WriteFileBytes(file, "old\n");
  THeldFile held;
  ASSERT_EQ(held.Hold(file), hrHeld);
  std::filesystem::rename(file, dir.File("elsewhere/c.csv"));
  WriteFileBytes(file, "new\n");
  EXPECT_FALSE(held.MoveTo(dir.File("done/c.csv")));
  EXPECT_EQ(ReadFileBytes(file), "new\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("done/c.csv")));
  EXPECT_EQ(THeldFile().Hold(file), hrHeld) << "released all the same";
}

TEST(MoveToFolder, ReplacesOnTheSameFileSystem) {
  TTempDir dir;
  std::filesystem::create_directory(dir.File("done"));
  WriteFileBytes(dir.File("a.csv"), "new");
  WriteFileBytes(dir.File("done/a.csv"), "old");
  EXPECT_TRUE(MoveToFolder(dir.File("a.csv"), dir.File("done")));
  EXPECT_FALSE(FileExistsAt(dir.File("a.csv")));
  EXPECT_EQ(ReadFileBytes(dir.File("done/a.csv")), "new");
}

TEST(MoveToFolder, EmptyFolderMovesNothingMissingFolderFails) {
  TTempDir dir;
  WriteFileBytes(dir.File("a.csv"), "x");
  EXPECT_TRUE(MoveToFolder(dir.File("a.csv"), ""));
  EXPECT_TRUE(FileExistsAt(dir.File("a.csv")));
  EXPECT_FALSE(MoveToFolder(dir.File("a.csv"), dir.File("missing")));
  EXPECT_TRUE(FileExistsAt(dir.File("a.csv")));
  // A destination that is the file's own folder is no move, and never loses the file.
  EXPECT_FALSE(MoveToFolder(dir.File("a.csv"), dir.Path() + "/"));
  EXPECT_TRUE(FileExistsAt(dir.File("a.csv")));
}

TEST(MoveFileReplacing, CopiesAcrossFileSystems) {
  // /dev/shm is a tmpfs: rename fails with EXDEV and the copy path runs.
  TTempDir dir;
  const std::string other = "/dev/shm/fenwold-move-" + std::to_string(::getpid());
  std::filesystem::create_directory(other);
  std::string big(300000, 'x');
  big[12345] = '\n';
  WriteFileBytes(dir.File("a.csv"), big);
  ::chmod((dir.File("a.csv")).c_str(), 0640);
  WriteFileBytes(other + "/a.csv", "old");
  EXPECT_TRUE(MoveToFolder(dir.File("a.csv"), other));
  EXPECT_FALSE(FileExistsAt(dir.File("a.csv")));
  EXPECT_EQ(ReadFileBytes(other + "/a.csv"), big);
  struct stat st {};
  ::stat((other + "/a.csv").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Nothing but the file is left behind in the target folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other),
                          std::filesystem::directory_iterator()),
            1);
  std::filesystem::remove_all(other);
}

TEST(HeldFile, MoveToNewNameNeverReplacesOnOneOrAcrossFileSystems) {
  TTempDir dir;
  const std::string other = "/dev/shm/fenwold-newname-" + std::to_string(::getpid());
  std::filesystem::create_directory(other);
  for (const std::string& target : {dir.Path(), other}) {  // rename, then the copy (EXDEV)
    SCOPED_TRACE(target);
    const std::string source = dir.File("src/a.csv");
    std::filesystem::create_directories(dir.File("src"));
    WriteFileBytes(source, "new");
    WriteFileBytes(target + "/a.csv", "waiting");
    THeldFile file;
    ASSERT_EQ(file.Hold(source), hrHeld);
    EXPECT_EQ(file.MoveToNewName(target + "/a.csv"), THeldFile::nnTaken);
    EXPECT_EQ(ReadFileBytes(target + "/a.csv"), "waiting");
    EXPECT_EQ(file.MoveToNewName(target + "/a-2.csv"), THeldFile::nnMoved) << "still held";
    EXPECT_EQ(ReadFileBytes(target + "/a-2.csv"), "new");
    EXPECT_FALSE(FileExistsAt(source));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(target)) {
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a-2.csv", "a.csv"})) << "no temporary file left";
  }
  std::filesystem::remove_all(other);
}

TEST(FolderWritable, NeedsAnExistingWritableFolder) {
  TTempDir dir;
  EXPECT_TRUE(FolderWritable(dir.Path()));
  EXPECT_FALSE(FolderWritable(dir.File("missing")));
  EXPECT_FALSE(FolderWritable(""));
  WriteFileBytes(dir.File("file"), "x");
  EXPECT_FALSE(FolderWritable(dir.File("file")));
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()) == false);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            1)
      << "the probe file is removed";
}

TEST(CreateEmptyFile, RootGivesANewFileToTheFolderOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  TTempDir dir;
  const std::string folder = dir.File("logs"), path = folder + "/fenwold2.log";
  std::filesystem::create_directory(folder);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  ASSERT_TRUE(CreateEmptyFile(path));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // An existing file is left as it is: whoever created it keeps it.
  ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
  ASSERT_TRUE(CreateEmptyFile(path));
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  // Not a regular file: nothing to append to.
  std::filesystem::create_directory(folder + "/sub");
  EXPECT_FALSE(CreateEmptyFile(folder + "/sub"));
}

TEST(GetFileStamp, TellsVersionsApart) {
  TTempDir dir;
  WriteFileBytes(dir.File("a.csv"), "one");
  TFileStamp first, second;
  ASSERT_TRUE(GetFileStamp(dir.File("a.csv"), first));
  EXPECT_EQ(first.size, 3u);
  WriteFileBytes(dir.File("a.csv"), "three");
  ASSERT_TRUE(GetFileStamp(dir.File("a.csv"), second));
  EXPECT_NE(first, second);
  EXPECT_FALSE(GetFileStamp(dir.File("missing"), second));
  EXPECT_FALSE(GetFileStamp(dir.Path(), second));
}

TEST(JoinPath, OneDelimiter) {
  EXPECT_EQ(JoinPath("/a/b", "c.csv"), "/a/b/c.csv");
  EXPECT_EQ(JoinPath("/a/b/", "c.csv"), "/a/b/c.csv");
  EXPECT_EQ(JoinPath("", "c.csv"), "c.csv");
}

}  // namespace
}  // namespace fw

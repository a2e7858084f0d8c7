// Every file operation of the platform layer keeps a name in any script: on Windows a name that
// went through an ANSI call comes back changed (or not at all), which only shows with such names.
#include <gtest/gtest.h>

#include <filesystem>

#include "intake/folder_upkeep.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

using test::TTempDir;

TEST(FileNames, EveryOperationKeepsANameInAnyScript) {
  for (const std::string name :
       {"plain.csv", "M\xC3\xBCller.csv",
        "Z\xC3\xB6llner \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC "
        "\xF0\x9F\x9A\x97.csv",
        "\xD0\xA1\xD0\xBC\xD0\xB8\xD1\x80\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xB0.csv"}) {
    SCOPED_TRACE(name);
    TTempDir dir;
    const std::string in = dir.File("in"), out = dir.File("out");
    std::filesystem::create_directory(in);
    std::filesystem::create_directory(out);
    const std::string source = JoinPath(in, name), target = JoinPath(out, name);

    ASSERT_TRUE(WriteFileReplacing(source, "first"));
    ASSERT_TRUE(WriteFileReplacing(source, "card")) << "replacing";
    EXPECT_EQ(ListCardFiles(in), std::vector<std::string>{name}) << "no temporary file left";
    std::string read;
    ASSERT_TRUE(ReadWholeFile(source, read));
    EXPECT_EQ(read, "card");
    EXPECT_EQ(FolderUsage(in).files, 1);

    THeldFile held;
    ASSERT_EQ(held.Hold(source), hrHeld);
    ASSERT_TRUE(held.ReadAll(read));
    EXPECT_EQ(read, "card");
    EXPECT_EQ(held.MoveToNewName(target), THeldFile::nnMoved);
    EXPECT_EQ(ListCardFiles(out), std::vector<std::string>{name});
    EXPECT_TRUE(ListCardFiles(in).empty());

    ASSERT_TRUE(WriteFileReplacing(source, "again"));
    THeldFile second;
    ASSERT_EQ(second.Hold(source), hrHeld);
    EXPECT_EQ(second.MoveToNewName(target), THeldFile::nnTaken);
    EXPECT_TRUE(second.MoveTo(target));
    ASSERT_TRUE(ReadWholeFile(target, read));
    EXPECT_EQ(read, "again");
    EXPECT_TRUE(ListCardFiles(in).empty());
  }
}

}  // namespace
}  // namespace fw

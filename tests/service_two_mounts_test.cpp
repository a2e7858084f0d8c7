// Two services on one drop folder that each sees through a mount of its own, as two hosts see
// a network share: each runs in a mount namespace of its own with its own bindfs mount of one
// backing folder, so a lock taken through one mount is invisible through the other. Only the
// database can then tell them apart: every top-up must still be applied exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/own_mount.h"
#include "tests/support/service_setup.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

class TwoMounts : public TDbTest {};

TEST_P(TwoMounts, EveryTopUpOnce) {
  // A test that cannot build its mounts must fail: a skip would hide the fault it looks for.
  ASSERT_EQ(access("/dev/fuse", R_OK | W_OK), 0) << "no /dev/fuse: FUSE mounts are impossible";
  ASSERT_EQ(access("/usr/bin/bindfs", X_OK), 0) << "bindfs is missing (scripts/deps.sh)";

  const int files = 100;
  const std::string scratch = ScratchDir();
  const TServiceFolders backing(scratch + "/backing");
  // What both services see: the same folders below the (empty) mount point.
  TServiceFolders seen = backing;
  for (std::string* path : {&seen.root, &seen.drop, &seen.done, &seen.errors, &seen.logs}) {
    path->replace(0, backing.root.size(), scratch + "/share");
  }
  std::filesystem::create_directories(seen.root);
  ASSERT_TRUE(PrepareCardDatabase(*db, Driver(), FENWOLD_SOURCE_DIR, seen));
  // A site on the five original tables: the services make the ledger themselves, racing.
  ASSERT_TRUE(ExecSql(*db, "DROP TABLE card_file"));
  for (int i = 0; i < files; ++i) {
    ASSERT_TRUE(ExecSql(*db, "INSERT INTO card (number, type_id, debit_left) SELECT " +
                                 std::to_string(790000 + i) +
                                 ", id, 0 FROM card_type WHERE name = 'DEBIT'"));
  }
  const std::string registry = scratch + "/registry.reg";
  WriteRegistryFile(registry, Params());

  TChildProcess first, second;
  // The default tick: the polls of the share (on by default on FUSE) bring the files in.
  ASSERT_TRUE(StartInOwnMount(first, backing.root, seen.root, FENWOLD_BINARY,
                              ServiceEnv(seen, registry, 25000), scratch));
  std::filesystem::create_directories(scratch + "/out2");
  ASSERT_TRUE(StartInOwnMount(second, backing.root, seen.root, FENWOLD_BINARY,
                              ServiceEnv(seen, registry, 25000), scratch + "/out2"));
  for (int i = 0; i < files; ++i) {
    DropCardFile(backing, "topup" + std::to_string(i) + ".csv",
                 "C," + std::to_string(790000 + i) +
                     ",DEBIT,Top-up,0800,20240101,1800,20261231,1\r\n");
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        return FilesIn(backing.drop).empty() &&
               QueryText(*db, "SELECT COUNT(*) FROM futurecard") == "0";
      },
      120s))
      << FilesIn(backing.drop).size() << " files left in the drop folder";
  for (TChildProcess* service : {&first, &second}) {
    ASSERT_TRUE(service->Signal(SIGTERM));
    const auto status = service->Wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << service->Stderr();
  }

  const std::vector<std::string> lines = LogLines(backing.logs);
  const auto cannotMove = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
    return LogText(l).rfind("Cannot move file", 0) == 0;
  });
  const auto created = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
    return LogText(l).rfind("Created the card_file ledger", 0) == 0;
  });
  EXPECT_EQ(created, 1) << "one of the two services made it";
  const std::string twice = QueryText(*db, "SELECT COUNT(*) FROM card WHERE debit_left > 1");
  std::cout << "two mounts: top-ups applied twice " << twice << " of " << files
            << ", \"Cannot move file\" lines " << cannotMove << "\n";
  EXPECT_EQ(twice, "0");
  EXPECT_EQ(QueryText(*db, "SELECT COUNT(*) FROM card WHERE debit_left = 1"),
            std::to_string(files));
  EXPECT_EQ(cannotMove, 0) << [&] {
    std::string shown;
    for (const std::string& l : lines) shown += l + "\n";
    return shown;
  }();
  EXPECT_EQ(FilesIn(backing.done).size(), static_cast<size_t>(files));
  EXPECT_TRUE(FilesIn(backing.errors).empty());
  EXPECT_EQ(QueryText(*db, "SELECT COUNT(*) FROM card_file"), std::to_string(files));
}

FW_ON_EVERY_DRIVER(TwoMounts);

}  // namespace
}  // namespace fw::test

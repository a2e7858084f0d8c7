// Two services on one drop folder and one database, as a failover pair runs: card files
// dropped while both run, each topping up its own debit card by one unit; every top-up is
// applied exactly once and every file ends in the done folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/service_setup.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

class TwoInstances : public TDbTest {};

TEST_P(TwoInstances, EveryTopUpOnce) {
  const int files = 100;
  TServiceFolders folders(ScratchDir() + "/svc");
  ASSERT_TRUE(PrepareCardDatabase(*db, Driver(), FENWOLD_SOURCE_DIR, folders));
  for (int i = 0; i < files; ++i) {
    ASSERT_TRUE(ExecSql(*db, "INSERT INTO card (number, type_id, debit_left) SELECT " +
                                 std::to_string(780000 + i) +
                                 ", id, 0 FROM card_type WHERE name = 'DEBIT'"));
  }
  const std::string registry = folders.root + "/registry.reg";
  WriteRegistryFile(registry, Params());

  TChildProcess first, second;
  ASSERT_TRUE(first.Start(FENWOLD_BINARY, {}, ServiceEnv(folders, registry, 50), folders.root));
  ASSERT_TRUE(second.Start(FENWOLD_BINARY, {}, ServiceEnv(folders, registry, 50), folders.root));
  for (int i = 0; i < files; ++i) {
    DropCardFile(folders, "topup" + std::to_string(i) + ".csv",
                 "C," + std::to_string(780000 + i) +
                     ",DEBIT,Top-up,0800,20240101,1800,20261231,1\r\n");
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        return FilesIn(folders.done).size() == files &&
               QueryText(*db, "SELECT COUNT(*) FROM futurecard") == "0";
      },
      120s))
      << FilesIn(folders.done).size() << " files done";
  for (TChildProcess* service : {&first, &second}) {
    ASSERT_TRUE(service->Signal(SIGTERM));
    const auto status = service->Wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << service->Stderr();
  }
  EXPECT_EQ(QueryText(*db, "SELECT COUNT(*) FROM card WHERE debit_left = 1"),
            std::to_string(files));
  EXPECT_EQ(QueryText(*db, "SELECT COUNT(*) FROM card WHERE debit_left <> 1"), "0");
  EXPECT_TRUE(FilesIn(folders.errors).empty());
  EXPECT_EQ(QueryText(*db, "SELECT COUNT(*) FROM card_file"), std::to_string(files));
}

FW_ON_EVERY_DRIVER(TwoInstances);

}  // namespace
}  // namespace fw::test

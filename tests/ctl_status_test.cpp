// fenwoldctl status against a real card database: what it counts, and its monitoring exit codes.
#include <gtest/gtest.h>

#include "log/messlog.h"
#include "platform/datetime.h"
#include "tests/support/intake_env.h"
#include "tests/support/run_ctl.h"
#include "tests/support/service_setup.h"

namespace fw::test {
namespace {

class CtlStatus : public ::testing::TestWithParam<TTestDb> {
 protected:
  TCtlRun Status(const std::string& registry) {
    return RunCtl("FENWOLD_REGISTRY='" + registry + "' FENWOLD_LOG_DIR='" + db.dir.Path() + "'",
                  "status --json");
  }

  TIntakeEnv db{GetParam()};
};

TEST_P(CtlStatus, CountsAndExitCodes) {
  ASSERT_TRUE(db.Ok());
  db.SetFolders();
  const std::string registry = db.dir.File("registry.reg");
  WriteRegistryFile(registry, db.Args());

  // A site at rest is well.
  TCtlRun run = Status(registry);
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* part : {"\"status\": \"OK\"", "\"reachable\": true", "\"waiting_files\": 0",
                           "\"due\": 0, \"waiting\": 0, \"earliest\": null", "\"errors_today\": 0",
                           "\"watch\": \"watched for events (is on a "}) {
    EXPECT_NE(run.output.find(part), std::string::npos) << part << "\n" << run.output;
  }

  // Staged records: due because the start has passed, due because the card is new, and one
  // waiting for its start on a card that exists.
  db.Exec("INSERT INTO card (number) VALUES (7)");
  db.Exec("INSERT INTO futurecard (command, number, card_type, start_dt) VALUES "
          "('A', 5, 'Staff', {ts '2001-01-01 00:00:00'})");
  db.Exec("INSERT INTO futurecard (command, number, card_type, start_dt) VALUES "
          "('A', 6, 'Staff', {ts '2099-01-01 00:00:00'})");
  db.Exec("INSERT INTO futurecard (command, number, card_type, start_dt) VALUES "
          "('C', 7, 'Staff', {ts '2099-02-03 04:05:06'})");
  // Today's log with a pickup and two errors, below yesterday's lines that do not count.
  const TDateTime now = SystemClock().Now();
  const std::string today = FormatLogStamp(now), yesterday = FormatLogStamp(now - 1);
  WriteFileBytes(db.dir.File("fenwold" + std::to_string(DecodeDateTime(now).dayOfWeek) + ".log"),
                 yesterday + " - Picked up /old.csv\r\n" + yesterday + " - SQL err: old\r\n" +
                     today + " - Picked up /new.csv\r\n" + today + " - Failed to exclusively open x\r\n" +
                     today + " - Error \"bad\" in SQL: INSERT\r\n" + today + " - Cannot move file: y\r\n");
  run = Status(registry);
  EXPECT_EQ(run.status, 0) << run.output;
  for (const std::string& part :
       {std::string("\"due\": 2, \"waiting\": 1, \"earliest\": \"2099-02-03 04:05:06\""),
        "\"last_pickup\": \"" + today + " - Picked up /new.csv\"", std::string("\"errors_today\": 2")}) {
    EXPECT_NE(run.output.find(part), std::string::npos) << part << "\n" << run.output;
  }

  // A card file in the error folder today is a warning; a card file waiting is not, yet.
  WriteFileBytes(db.errors + "/rejected.csv", "x\r\n");
  db.Drop("new.csv", "Blue,4\r\n");
  run = Status(registry);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("\"waiting_files\": 1"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("\"error_files_today\": 1"), std::string::npos) << run.output;

  // A database that cannot be reached is critical.
  WriteFileBytes(registry, "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
                           "\"Database\"=\"" + db.dir.File("absent/cards.db") + "\"\r\n"
                           "\"ODBCDriver\"=\"SQLite3\"\r\n");
  run = Status(registry);
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find("\"reachable\": false"), std::string::npos) << run.output;
}

FW_ON_EVERY_DRIVER(CtlStatus);

}  // namespace
}  // namespace fw::test

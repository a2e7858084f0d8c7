// The real fenwold binary, black box, on SQLite and on MariaDB: card files picked up at each
// tick, pause and continue, the status reports to systemd, a stop in the middle of a tick,
// a database that cannot be reached at start, and the hourly pass at minute 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>

#include <algorithm>
#include <thread>

#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/service_setup.h"
#include "tests/support/temp_dir.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

const std::string kConnectFailure =
    "Cannot connect to ODBC source.  Terminating service abnormally!";

class ServiceRun : public TDbTest {
 protected:
  void SetUp() override {
    TDbTest::SetUp();
    if (HasFatalFailure()) return;
    folders_ = std::make_unique<TServiceFolders>(ScratchDir() + "/svc");
    ASSERT_TRUE(PrepareCardDatabase(*db, Driver(), FENWOLD_SOURCE_DIR, *folders_));
    registry_ = folders_->root + "/registry.reg";
    WriteRegistryFile(registry_, Params());
  }

  void TearDown() override {
    if (service_.Running()) {
      service_.Signal(SIGTERM);
      service_.Wait(60s);
    }
    TDbTest::TearDown();
  }

  void Start(unsigned tickMs, const TEnv& extra = {}) {
    TEnv env = ServiceEnv(*folders_, registry_, tickMs);
    for (const auto& [k, v] : extra) env[k] = v;
    ASSERT_TRUE(service_.Start(FENWOLD_BINARY, {}, env, folders_->root));
  }

  // Stops the service and expects a clean end: status 0, "End Log" last.
  void StopCleanly() {
    ASSERT_TRUE(service_.Signal(SIGTERM));
    const auto status = service_.Wait(120s);
    ASSERT_TRUE(status.has_value()) << "no end after SIGTERM";
    EXPECT_EQ(*status, 0) << service_.Stderr();
    const auto texts = LogTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "End Log");
  }

  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const std::string& line : LogLines(folders_->logs)) texts.push_back(LogText(line));
    return texts;
  }
  int CountLog(const std::string& prefix) const {
    const auto texts = LogTexts();
    return static_cast<int>(std::count_if(
        texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; }));
  }
  bool Arrives(const std::string& folder, const std::string& name,
               std::chrono::milliseconds timeout = 30s) const {
    return WaitUntil([&] { return PathExists(folder + "/" + name); }, timeout);
  }
  std::string Query(const std::string& sql) { return QueryText(*db, sql); }
  int CardCount(long long from, long long to) {
    return std::stoi("0" + Query("SELECT COUNT(*) FROM card WHERE number BETWEEN " +
                                 std::to_string(from) + " AND " + std::to_string(to)));
  }

  std::unique_ptr<TServiceFolders> folders_;
  std::string registry_;
  TChildProcess service_;
};

TEST_P(ServiceRun, FilesArePickedUpAtEachTick) {
  Start(250);
  DropCardFile(*folders_, "first.csv", StaffCardLine(700001) + StaffCardLine(700002));
  ASSERT_TRUE(Arrives(folders_->done, "first.csv")) << service_.Stderr();
  // The pass after a scan that found files applies the new cards at once.
  EXPECT_TRUE(WaitUntil([&] { return CardCount(700001, 700002) == 2; }, 10s));

  DropCardFile(*folders_, "second.csv", StaffCardLine(700003));
  DropCardFile(*folders_, "bad.csv", StaffCardLine(700004) + "A,70000X,STAFF,Bad number,,,,,0\r\n");
  ASSERT_TRUE(Arrives(folders_->done, "second.csv"));
  ASSERT_TRUE(Arrives(folders_->errors, "bad.csv"));
  EXPECT_TRUE(FilesIn(folders_->drop).empty());
  EXPECT_TRUE(WaitUntil([&] { return CardCount(700001, 700004) == 3; }, 10s));
  StopCleanly();

  const auto texts = LogTexts();
  EXPECT_EQ(texts[1], "Start Log");
  EXPECT_EQ(CountLog("Picked up " + folders_->drop + "/first.csv"), 1);
  EXPECT_EQ(CountLog("Picked up " + folders_->drop + "/second.csv"), 1);
  EXPECT_EQ(CountLog("Picked up " + folders_->drop + "/bad.csv"), 0);
  EXPECT_EQ(CountLog("Error \""), 1);
  EXPECT_EQ(CountLog("Database unreachable"), 0);
}

// Status reports, in order, to a notify socket the test listens on; ticks go on while the
// service reports itself paused.
TEST_P(ServiceRun, StatusReportsAndPause) {
  TNotifyListener notify(folders_->root + "/notify.sock");
  ASSERT_TRUE(notify.Ok());
  Start(250, {{"NOTIFY_SOCKET", notify.Path()}, {"WATCHDOG_USEC", "400000"}});
  int watchdogs = 0;
  std::string statusLine;  // the last one a tick sent
  // State reports come in order; keep-alives and the status lines of ticks come in between.
  auto expect = [&](const std::string& want) {
    for (;;) {
      const auto got = notify.Receive(20s);
      ASSERT_TRUE(got.has_value()) << "waiting for " << want;
      if (*got == "WATCHDOG=1") {
        ++watchdogs;
        continue;
      }
      if (got->find("; ") != std::string::npos && want.find("; ") == std::string::npos) {
        statusLine = *got;
        continue;
      }
      ASSERT_EQ(*got, want);
      return;
    }
  };
  expect("STATUS=start pending");
  expect("STATUS=start pending");
  expect("READY=1\nSTATUS=running");

  ASSERT_TRUE(service_.Signal(SIGUSR1));
  expect("STATUS=pause pending");
  expect("STATUS=paused");
  DropCardFile(*folders_, "while_paused.csv", StaffCardLine(710001));
  ASSERT_TRUE(Arrives(folders_->done, "while_paused.csv"));
  // The tick that picked the file up says so once it has ended.
  const std::string line = "STATUS=paused; last pickup ";
  while (statusLine.find("picked up 1, rejected 0; applied 1, waiting 0") == std::string::npos) {
    const auto got = notify.Receive(20s);
    ASSERT_TRUE(got.has_value()) << "no status line after the pickup; last: " << statusLine;
    if (got->rfind(line, 0) == 0) statusLine = *got;
  }
  ASSERT_TRUE(service_.Signal(SIGHUP));
  expect("STATUS=paused");
  // An interrogate request writes the same line to the log.
  for (int i = 0; i < 200 && CountLog("Status: " + statusLine.substr(7)) == 0; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(CountLog("Status: " + statusLine.substr(7)), 1) << statusLine;

  ASSERT_TRUE(service_.Signal(SIGUSR2));
  expect("STATUS=continue pending");
  expect("READY=1\nSTATUS=running");
  DropCardFile(*folders_, "after_continue.csv", StaffCardLine(710002));
  ASSERT_TRUE(Arrives(folders_->done, "after_continue.csv"));

  ASSERT_TRUE(service_.Signal(SIGINT));
  expect("STOPPING=1\nSTATUS=stop pending");
  expect("STATUS=stopped");
  const auto status = service_.Wait(60s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(LogTexts().back(), "End Log");
  // Keep-alives come from the main thread's loop every 200 ms.
  EXPECT_GE(watchdogs, 1);
}

// A stop that arrives while a tick stages a file waits for the tick; everything is freed
// after it, and the log ends as usual.
TEST_P(ServiceRun, StopInTheMiddleOfATick) {
  const int rows = 3000;
  std::string text;
  // Commands other than A and C stay staged, so the pass after the scan is a quick walk.
  for (int i = 0; i < rows; ++i) {
    text += "X," + std::to_string(720000 + i) + ",STAFF,Row " + std::to_string(i) +
            ",0800,20250106,1800,20261231,0,,Doe,Jo\r\n";
  }
  TFolderWatch watch(folders_->drop, IN_OPEN);
  ASSERT_TRUE(watch.Ok());
  Start(200);
  DropCardFile(*folders_, "large.csv", text);
  const std::string name = "large.csv";
  ASSERT_TRUE(watch.Next(IN_OPEN, 30s, &name)) << "the tick never opened the file";
  StopCleanly();
  // The tick ran to its end: the file was staged as a whole and moved.
  EXPECT_TRUE(PathExists(folders_->done + "/large.csv"));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM futurecard"), std::to_string(rows));
  EXPECT_EQ(CountLog("Picked up " + folders_->drop + "/large.csv"), 1);
}

// While a tick waits for the database (here on a lock the test holds), the watchdog keeps
// being fed from the thread that waits; the main loop's own keep-alives cannot run then.
TEST_P(ServiceRun, WatchdogFedWhileATickWaits) {
  ASSERT_TRUE(ExecSql(*db,
                      "INSERT INTO card_pool (name, max_inlot, cur_inlot) "
                      "VALUES ('Locked', 1, 0)"));
  auto holder = Connect(true);
  ASSERT_TRUE(holder);
  ASSERT_TRUE(ExecSql(*holder, "UPDATE card_pool SET max_inlot = 2 WHERE name = 'Locked'"));

  TNotifyListener notify(folders_->root + "/notify.sock");
  ASSERT_TRUE(notify.Ok());
  TFolderWatch watch(folders_->drop, IN_OPEN);
  ASSERT_TRUE(watch.Ok());
  Start(200, {{"NOTIFY_SOCKET", notify.Path()}, {"WATCHDOG_USEC", "1000000"}});
  DropCardFile(*folders_, "locked.csv", "Locked,5\r\n" + StaffCardLine(760001));
  const std::string name = "locked.csv";
  ASSERT_TRUE(watch.Next(IN_OPEN, 30s, &name));
  while (notify.Receive(0ms)) {
  }
  std::this_thread::sleep_for(3s);
  int pings = 0;
  while (auto m = notify.Receive(0ms)) pings += *m == "WATCHDOG=1";
  EXPECT_FALSE(PathExists(folders_->done + "/locked.csv")) << "the tick did not wait";
  EXPECT_GE(pings, 3) << "a tick waiting for the database starves the watchdog";

  ASSERT_TRUE(holder->EndTrans(false));
  ASSERT_TRUE(Arrives(folders_->done, "locked.csv"));
  EXPECT_EQ(Query("SELECT max_inlot FROM card_pool WHERE name = 'Locked'"), "5");
  StopCleanly();
}

// The hourly pass runs on the first tick of minute 0, not on the second, again on a third.
// The fake clock starts at 10:59:40 and moves 20 s per tick. A staged record that cannot be
// deleted (a trigger keeps it) is applied at every pass, and every write of its card leaves a
// row in pass_log (on MariaDB a MyISAM table, on PostgreSQL a count kept by a sequence: both
// keep what the refused delete rolls back).
TEST_P(ServiceRun, HourlyPassAtMinuteZero) {
  std::vector<std::string> setup = {
      "INSERT INTO futurecard (command, number, card_type, start_dt, add_value) "
      "VALUES ('A', 730001, 'DEBIT', {ts '2024-01-01 00:00:00'}, 1)"};
  if (IsSqlite()) {
    setup.insert(setup.end(), {"CREATE TABLE pass_log (n INTEGER)",
                               "CREATE TRIGGER log_insert AFTER INSERT ON card "
                               "BEGIN INSERT INTO pass_log VALUES (1); END",
                               "CREATE TRIGGER log_update AFTER UPDATE ON card "
                               "BEGIN INSERT INTO pass_log VALUES (1); END",
                               "CREATE TRIGGER keep_staged BEFORE DELETE ON futurecard "
                               "BEGIN SELECT RAISE(IGNORE); END"});
  } else if (Driver() == TTestDriver::kPostgres) {
    // A sequence keeps its count when the transaction that advanced it rolls back.
    setup.insert(setup.end(),
                 {"CREATE SEQUENCE pass_seq",
                  "CREATE FUNCTION log_pass() RETURNS trigger AS $$ BEGIN "
                  "PERFORM nextval('pass_seq'); RETURN NEW; END $$ LANGUAGE plpgsql",
                  "CREATE FUNCTION keep() RETURNS trigger AS $$ BEGIN "
                  "RAISE EXCEPTION 'kept'; END $$ LANGUAGE plpgsql",
                  "CREATE TRIGGER log_write AFTER INSERT OR UPDATE ON card FOR EACH ROW "
                  "EXECUTE FUNCTION log_pass()",
                  "CREATE TRIGGER keep_staged BEFORE DELETE ON futurecard FOR EACH ROW "
                  "EXECUTE FUNCTION keep()",
                  "CREATE VIEW pass_log AS SELECT 1 AS n FROM pass_seq, "
                  "generate_series(1, CASE WHEN is_called THEN last_value ELSE 0 END)"});
  } else {
    setup.insert(setup.end(),
                 {"CREATE TABLE pass_log (n INT) ENGINE=MyISAM",
                  "CREATE TRIGGER log_insert AFTER INSERT ON card FOR EACH ROW "
                  "INSERT INTO pass_log VALUES (1)",
                  "CREATE TRIGGER log_update AFTER UPDATE ON card FOR EACH ROW "
                  "INSERT INTO pass_log VALUES (1)",
                  "CREATE TRIGGER keep_staged BEFORE DELETE ON futurecard FOR EACH ROW "
                  "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'kept'"});
  }
  ASSERT_TRUE(ExecAll(*db, setup));
  TFolderWatch ticks(folders_->drop, IN_OPEN | IN_ISDIR);
  ASSERT_TRUE(ticks.Ok());
  const unsigned tickMs = 700;
  Start(tickMs, {{"FENWOLD_FAKE_CLOCK", "2024-05-06 10:59:40"}, {"FENWOLD_FAKE_CLOCK_STEP", "20"}});
  auto passes = [&] { return std::stoi("0" + Query("SELECT COUNT(*) FROM pass_log")); };
  // Ticks at 10:59:40, 11:00:00, 11:00:20, 11:00:40, 11:01:00, 11:01:20.
  const int passesAfter[] = {0, 1, 1, 2, 2, 2};
  for (int tick = 0; tick < 6; ++tick) {
    ASSERT_TRUE(ticks.Next(IN_OPEN | IN_ISDIR, 30s)) << "tick " << tick + 1;
    // Halfway to the next tick this one has long ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(tickMs / 2));
    EXPECT_EQ(passes(), passesAfter[tick]) << "after tick " << tick + 1;
  }
  StopCleanly();
}

FW_ON_EVERY_DRIVER(ServiceRun);

// Started against a database that cannot be reached: the log holds the separator, "Start
// Log", the connect failure and "End Log", nothing else, and the process reports failure.
TEST(ServiceStart, UnreachableDatabaseStopsWithFailure) {
  TTempDir scratch;
  const std::string& root = scratch.Path();
  struct Case {
    const char* name;
    TDbParams params;
  } cases[] = {
      {"sqlite", {"", "", "", root + "/no such folder/cards.db", "SQLite3", ""}},
      {"mariadb", {"", "fenwold", "", "orvik", "MariaDB Unicode", "SERVER=127.0.0.1;PORT=1"}},
  };
  for (const Case& c : cases) {
    TServiceFolders folders(root + "/" + c.name);
    const std::string registry = folders.root + "/registry.reg";
    WriteRegistryFile(registry, c.params);
    TNotifyListener notify(folders.root + "/notify.sock");
    TEnv env = ServiceEnv(folders, registry, 100);
    env["NOTIFY_SOCKET"] = notify.Path();
    TChildProcess service;
    ASSERT_TRUE(service.Start(FENWOLD_BINARY, {}, env, folders.root));
    const auto status = service.Wait(60s);
    ASSERT_TRUE(status.has_value()) << c.name << ": still running";
    EXPECT_NE(*status, 0) << c.name;

    const auto lines = LogLines(folders.logs);
    ASSERT_EQ(lines.size(), 4u) << c.name;
    EXPECT_EQ(lines[0].rfind("..................... - ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("   Version - "), std::string::npos) << lines[0];
    EXPECT_EQ(LogText(lines[1]), "Start Log");
    EXPECT_EQ(LogText(lines[2]), kConnectFailure);
    EXPECT_EQ(LogText(lines[3]), "End Log");

    std::string last;
    while (auto m = notify.Receive(100ms)) last = *m;
    EXPECT_EQ(last, "STATUS=stopped") << c.name;
  }
}

}  // namespace
}  // namespace fw::test

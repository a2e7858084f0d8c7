// The real fenwold binary, black box, on SQLite and on MariaDB: card files picked up at each
// tick, pause and continue, the status reports to systemd, a stop in the middle of a tick,
// a database that cannot be reached at start, and the hourly pass at minute 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

class ServiceRun : public TServiceTest {
 protected:
  void Start(unsigned tickMs, const TEnv& extra = {}) {
    ASSERT_TRUE(service_.Start(FENWOLD_BINARY, {}, Env(tickMs, extra), folders_->root));
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

};

TEST_P(ServiceRun, FilesArePickedUpAtEachTick) {
  const std::string metrics = folders_->root + "/fenwold.prom";
  {
    std::ofstream registry(registry_, std::ios::app | std::ios::binary);
    registry << "\"MetricsFile\"=\"" << metrics << "\"\r\n\"DoneRetentionDays\"=dword:0000001e\r\n";
  }
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
  EXPECT_TRUE(PathExists(folders_->errors + "/bad.csv.rejected.txt"));
  // The metrics of the ticks so far, as a collector reads them.
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadFileBytes(metrics).find("fenwold_records_applied_total 3\n") != std::string::npos; },
      10s));
  const std::string text = ReadFileBytes(metrics);
  for (const char* line : {"fenwold_card_files_total{outcome=\"staged\"} 2\n",
                           "fenwold_card_files_total{outcome=\"rejected\"} 1\n",
                           "fenwold_card_lines_rejected_total 1\n", "fenwold_database_up 1\n",
                           "fenwold_drop_files_waiting 0\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  StopCleanly();
  EXPECT_EQ(CountLog("Removed 0 card file(s) older than 30 day(s) from " + folders_->done), 1);

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
  // Keep-alives keep arriving whatever the status lines say: the wait needs its own end.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (statusLine.find("picked up 1, rejected 0; applied 1, waiting 0") == std::string::npos) {
    const auto got = notify.Receive(20s);
    ASSERT_TRUE(got.has_value() && std::chrono::steady_clock::now() < deadline)
        << "no status line after the pickup; last: " << statusLine;
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

// A stop ends a tick where it stands, even in a statement that waits on a lock the test
// holds (the statement is cancelled), leaving only whole transactions: a file being staged is
// rolled back and stays in the drop folder; a record being applied stays staged and is
// applied by the pass that the next run's first tick owes.
TEST_P(ServiceRun, StopEndsATickWhereItStands) {
  ASSERT_TRUE(ExecAll(*db, {"INSERT INTO card_pool (name, max_inlot, cur_inlot) "
                            "VALUES ('Locked', 1, 0)",
                            "INSERT INTO card (number, type_id, debit_left) "
                            "SELECT 770001, id, 5 FROM card_type WHERE name = 'DEBIT'"}));
  struct TCase {
    const char* what;
    std::string file;
    std::string lock;  // run by the holder, which keeps its transaction open
  };
  const TCase cases[] = {
      {"mid-staging", StaffCardLine(770101) + "Locked,5\r\n" + StaffCardLine(770102),
       "UPDATE card_pool SET max_inlot = 2 WHERE name = 'Locked'"},
      // The top-up is staged already; the first tick of a run owes a pass.
      {"mid-pass", "", "UPDATE card SET in_lot = 0 WHERE number = 770001"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto holder = Connect(true);
    ASSERT_TRUE(holder);
    TFolderWatch watch(folders_->drop, IN_OPEN);
    ASSERT_TRUE(watch.Ok());
    TNotifyListener notify(folders_->root + "/notify.sock");
    ASSERT_TRUE(notify.Ok());
    const auto heard = [&](const char* what) {
      while (auto m = notify.Receive(30s)) {
        if (m->find(what) != std::string::npos) return true;
      }
      return false;
    };
    if (std::string(c.what) == "mid-pass") {
      ASSERT_TRUE(
          ExecSql(*db,
                  "INSERT INTO futurecard (command, number, card_type, start_dt, "
                  "add_value) VALUES ('C', 770001, 'DEBIT', {ts '2024-01-01 00:00:00'}, 1)"));
      ASSERT_TRUE(ExecSql(*holder, c.lock));
      Start(200, {{"NOTIFY_SOCKET", notify.Path()}});
      ASSERT_TRUE(heard("READY=1"));
    } else {
      ASSERT_TRUE(ExecSql(*holder, c.lock));
      Start(200, {{"NOTIFY_SOCKET", notify.Path()}});
      DropCardFile(*folders_, "held.csv", c.file);
      const std::string name = "held.csv";
      ASSERT_TRUE(watch.Next(IN_OPEN, 30s, &name)) << "the tick never opened the file";
    }
    // Time for the tick to reach the lock; the outcome is the same if it has not.
    std::this_thread::sleep_for(600ms);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(service_.Signal(SIGTERM));
    // SQLite's driver cannot cancel a statement that waits for its one writer: once the stop
    // is known, the lock goes, and the tick ends at its next row or record.
    if (IsSqlite()) {
      ASSERT_TRUE(heard("STOPPING=1"));
      ASSERT_TRUE(holder->EndTrans(false));
    }
    StopCleanly();  // on MariaDB while the lock is still held
    std::printf("[ stop %s ] %lld ms\n", c.what,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - sent)
                                           .count()));
    if (!IsSqlite()) {
      ASSERT_TRUE(holder->EndTrans(false));
    }
    // Out of the way of the next run until the end.
    if (PathExists(folders_->drop + "/held.csv")) {
      std::filesystem::rename(folders_->drop + "/held.csv", folders_->root + "/held.csv");
    }
  }
  // Staging: rolled back, the file still in the drop folder, said so and nothing else.
  EXPECT_TRUE(PathExists(folders_->root + "/held.csv"));
  EXPECT_EQ(Query("SELECT COUNT(*) FROM futurecard WHERE number BETWEEN 770101 AND 770102"), "0");
  EXPECT_EQ(CountLog("Stop requested while staging " + folders_->drop + "/held.csv"), 1);
  EXPECT_EQ(CountLog("Picked up " + folders_->drop + "/held.csv"), 0);
  EXPECT_TRUE(FilesIn(folders_->errors).empty());
  // The pass: the top-up stays staged, then the next run's first tick applies it, once.
  EXPECT_EQ(Query("SELECT debit_left FROM card WHERE number = 770001"), "5");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM futurecard WHERE number = 770001"), "1");
  std::filesystem::rename(folders_->root + "/held.csv", folders_->drop + "/held.csv");
  Start(200);
  EXPECT_TRUE(WaitUntil(
      [&] { return Query("SELECT COUNT(*) FROM futurecard WHERE number = 770001") == "0"; }, 30s));
  EXPECT_EQ(Query("SELECT debit_left FROM card WHERE number = 770001"), "6");
  // ... and the file left by the stop is staged whole.
  EXPECT_TRUE(Arrives(folders_->done, "held.csv"));
  EXPECT_TRUE(WaitUntil([&] { return CardCount(770101, 770102) == 2; }, 30s));
  StopCleanly();
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
  int pings = 0;
  const bool pinged = WaitUntil(
      [&] {
        while (auto m = notify.Receive(0ms)) pings += *m == "WATCHDOG=1";
        return pings >= 3;
      },
      30s);
  EXPECT_FALSE(PathExists(folders_->done + "/locked.csv")) << "the tick did not wait";
  EXPECT_TRUE(pinged) << "a tick waiting for the database starves the watchdog";

  ASSERT_TRUE(holder->EndTrans(false));
  ASSERT_TRUE(Arrives(folders_->done, "locked.csv"));
  EXPECT_EQ(Query("SELECT max_inlot FROM card_pool WHERE name = 'Locked'"), "5");
  StopCleanly();
}

// The hourly pass runs on the first tick of minute 0, not on the second, again on a third.
// The fake clock starts at 10:59:40 and moves 20 s per tick. A staged record that cannot be
// deleted (a trigger refuses) is claimed at every pass, and every claim logs its failure.
TEST_P(ServiceRun, HourlyPassAtMinuteZero) {
  std::vector<std::string> setup = {
      "INSERT INTO futurecard (command, number, card_type, start_dt, add_value) "
      "VALUES ('A', 730001, 'DEBIT', {ts '2024-01-01 00:00:00'}, 1)"};
  if (IsSqlite()) {
    setup.push_back(
        "CREATE TRIGGER keep_staged BEFORE DELETE ON futurecard "
        "BEGIN SELECT RAISE(ABORT, 'kept'); END");
  } else if (Driver() == TTestDriver::kPostgres) {
    setup.insert(setup.end(), {"CREATE FUNCTION keep() RETURNS trigger AS $$ BEGIN "
                               "RAISE EXCEPTION 'kept'; END $$ LANGUAGE plpgsql",
                               "CREATE TRIGGER keep_staged BEFORE DELETE ON futurecard FOR EACH "
                               "ROW EXECUTE FUNCTION keep()"});
  } else {
    setup.push_back(
        "CREATE TRIGGER keep_staged BEFORE DELETE ON futurecard FOR EACH ROW "
        "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'kept'");
  }
  ASSERT_TRUE(ExecAll(*db, setup));
  TFolderWatch ticks(folders_->drop, IN_OPEN | IN_ISDIR);
  ASSERT_TRUE(ticks.Ok());
  const unsigned tickMs = 700;
  Start(tickMs, {{"FENWOLD_FAKE_CLOCK", "2024-05-06 10:59:40"}, {"FENWOLD_FAKE_CLOCK_STEP", "20"}});
  auto passes = [&] { return CountLog("Cannot delete staged record"); };
  // Ticks at 10:59:40 (the pass owed by a start), 11:00:00, 11:00:20, 11:00:40, 11:01:00,
  // 11:01:20.
  const int passesAfter[] = {1, 2, 2, 3, 3, 3};
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

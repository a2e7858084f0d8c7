// The running service picks a card file up when it lands, not at the next tick, and applies a
// staged record when its start comes. The tick is set to an hour throughout, so that nothing
// here can pass by the timer.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/own_mount.h"
#include "tests/support/service_setup.h"
#include "tests/support/temp_dir.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kHourMs = 3600 * 1000;

class ServiceLatency : public TServiceTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(StopService(), 0) << service_.Stderr();
    TServiceTest::TearDown();
  }

  // Started with an hour's tick; the first tick comes at once and sets the watch up, which
  // the file it picks up shows.
  void StartAndSettle(const TEnv& extra = {}) {
    DropCardFile(*folders_, "first.csv", StaffCardLine(790001));
    ASSERT_TRUE(service_.Start(FENWOLD_BINARY, {}, Env(kHourMs, extra), folders_->root));
    ASSERT_TRUE(Arrives("first.csv")) << service_.Stderr();
  }

  bool Arrives(const std::string& name) const {
    return WaitUntil([&] { return PathExists(folders_->done + "/" + name); }, 30s);
  }
  std::string Query(const std::string& sql) { return QueryText(*db, sql); }
  int CountLog(const std::string& prefix) const {
    int n = 0;
    for (const std::string& line : LogLines(folders_->logs)) n += LogText(line).rfind(prefix, 0) == 0;
    return n;
  }

};

TEST_P(ServiceLatency, AFileMovedInIsPickedUpAtOnce) {
  StartAndSettle();
  DropCardFile(*folders_, "second.csv", StaffCardLine(790002));
  ASSERT_TRUE(Arrives("second.csv")) << "not picked up by an event";
  EXPECT_TRUE(WaitUntil([&] { return Query("SELECT COUNT(*) FROM card WHERE number = 790002") == "1"; }, 30s));
}

// The writer keeps its file open while a scan runs (another file's arrival brings it on): the
// file is busy then, and staged whole once the writer closes it.
TEST_P(ServiceLatency, ASlowWriterInPlaceIsStagedOnlyOnceItCloses) {
  StartAndSettle();
  const std::string slow = folders_->drop + "/slow.csv";
  std::FILE* writer = std::fopen(slow.c_str(), "wb");
  ASSERT_NE(writer, nullptr);
  const std::string half = StaffCardLine(790101);
  ASSERT_EQ(std::fwrite(half.data(), 1, half.size(), writer), half.size());
  ASSERT_EQ(std::fflush(writer), 0);
  DropCardFile(*folders_, "other.csv", StaffCardLine(790201));
  ASSERT_TRUE(Arrives("other.csv"));
  EXPECT_TRUE(PathExists(slow)) << "staged while its writer still had it open";
  // The tick that moved other.csv reaches slow.csv after it (the listing is sorted).
  EXPECT_TRUE(WaitUntil(
      [&] { return CountLog("Failed to exclusively open " + slow) == 1; }, 30s));

  const std::string rest = StaffCardLine(790102) + StaffCardLine(790103);
  ASSERT_EQ(std::fwrite(rest.data(), 1, rest.size(), writer), rest.size());
  ASSERT_EQ(std::fclose(writer), 0);
  ASSERT_TRUE(Arrives("slow.csv")) << "not picked up when its writer closed it";
  EXPECT_TRUE(WaitUntil(
      [&] { return Query("SELECT COUNT(*) FROM card WHERE number BETWEEN 790101 AND 790103") == "3"; },
      30s));
  EXPECT_EQ(CountLog("Picked up " + slow), 1);
}

TEST_P(ServiceLatency, ADropFolderDeletedAndMadeAgainIsWatchedAgain) {
  StartAndSettle();
  std::filesystem::remove_all(folders_->drop);
  std::filesystem::create_directory(folders_->drop);
  DropCardFile(*folders_, "after.csv", StaffCardLine(790301));
  ASSERT_TRUE(Arrives("after.csv")) << "the new drop folder is not watched";
}

// The test clock starts 3 s before the record's start and moves a minute at each tick: only
// a tick that the record's start brings on applies it (the next by the timer is an hour
// away, minute 0 is far, and no file is dropped). The status line says when it is due.
TEST_P(ServiceLatency, ARecordIsAppliedWhenItsStartComes) {
  ASSERT_TRUE(ExecAll(*db, {"INSERT INTO card (number, type_id, debit_left) "
                            "SELECT 790401, id, 5 FROM card_type WHERE name = 'DEBIT'",
                            "INSERT INTO futurecard (command, number, card_type, start_dt, add_value) "
                            "VALUES ('C', 790401, 'DEBIT', {ts '2024-05-06 10:20:03'}, 1)"}));
  TNotifyListener notify(folders_->root + "/notify.sock");
  ASSERT_TRUE(notify.Ok());
  TEnv env = ServiceEnv(*folders_, registry_, kHourMs);
  env["FENWOLD_FAKE_CLOCK"] = "2024-05-06 10:20:00";
  env["FENWOLD_FAKE_CLOCK_STEP"] = "60";
  env["NOTIFY_SOCKET"] = notify.Path();
  ASSERT_TRUE(service_.Start(FENWOLD_BINARY, {}, env, folders_->root));
  bool said = false;
  while (auto m = notify.Receive(30s)) {
    if (m->find("waiting 1, next due 2024-05-06 10:20:03") != std::string::npos) {
      said = true;
      break;
    }
  }
  EXPECT_TRUE(said) << "the status line does not give the next due time";
  EXPECT_TRUE(WaitUntil([&] { return Query("SELECT COUNT(*) FROM futurecard") == "0"; }, 30s));
  EXPECT_EQ(Query("SELECT debit_left FROM card WHERE number = 790401"), "6");
}

// One line for a drop folder that cannot be watched, however many ticks find it so; the
// ticks still pick files up, and once the folder is there it is watched.
TEST_P(ServiceLatency, AFolderThatCannotBeWatchedIsSaidOnceAndScannedAtTheTicks) {
  std::filesystem::remove_all(folders_->drop);
  TNotifyListener notify(folders_->root + "/notify.sock");
  ASSERT_TRUE(notify.Ok());
  TEnv env = ServiceEnv(*folders_, registry_, 200);
  env["NOTIFY_SOCKET"] = notify.Path();
  ASSERT_TRUE(service_.Start(FENWOLD_BINARY, {}, env, folders_->root));
  int ticks = 0;
  while (ticks < 4) {
    const auto m = notify.Receive(30s);
    ASSERT_TRUE(m.has_value()) << "no ticks";
    ticks += m->find("applied 0") != std::string::npos;
  }
  const std::string line = "Drop folder " + folders_->drop + " cannot be watched (";
  EXPECT_EQ(CountLog(line), 1);
  std::filesystem::create_directory(folders_->drop);
  DropCardFile(*folders_, "late.csv", StaffCardLine(790501));
  ASSERT_TRUE(Arrives("late.csv"));
  EXPECT_EQ(CountLog(line), 1);
}

// The drop folder on a FUSE mount, written through its backing folder as another host writes
// to a share: no event comes, and the tick is an hour away, so only the poll can bring the file
// in. The log says once how the folder is watched.
TEST_P(ServiceLatency, AFileAnotherHostWritesToAShareIsPickedUpByThePoll) {
  ASSERT_EQ(access("/dev/fuse", R_OK | W_OK), 0) << "no /dev/fuse: FUSE mounts are impossible";
  ASSERT_EQ(access("/usr/bin/bindfs", X_OK), 0) << "bindfs is missing (scripts/deps.sh)";
  const std::string share = ScratchDir() + "/share";
  std::filesystem::create_directories(share);
  ASSERT_TRUE(ExecSql(*db, "UPDATE settings SET audits_dir = '" + share + "/drop', dtlfiles_dir = '" +
                               share + "/done', dtlerrors_dir = '" + share + "/errors'"));
  DropCardFile(*folders_, "first.csv", StaffCardLine(790601));
  ASSERT_TRUE(StartInOwnMount(service_, folders_->root, share, FENWOLD_BINARY, Env(kHourMs),
                              folders_->root));
  ASSERT_TRUE(Arrives("first.csv")) << service_.Stderr();
  DropCardFile(*folders_, "second.csv", StaffCardLine(790602));
  ASSERT_TRUE(Arrives("second.csv")) << "not picked up by the poll";
  EXPECT_EQ(CountLog("Drop folder " + share +
                     "/drop is on a file system of type fuse, which raises no events for other hosts' "
                     "writes: watched for events and listed every 1000 ms"),
            1);
}

FW_ON_EVERY_DRIVER(ServiceLatency);

}  // namespace
}  // namespace fw::test

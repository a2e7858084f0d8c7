// MariaDB killed and started again under a running service: card files wait in the drop
// folder instead of failing into the error folder, the log says so once each way, and
// staging resumes. The test runs a MariaDB server of its own (scripts/mariadb.sh).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/service_setup.h"

namespace fw::test {
namespace {

using namespace std::chrono_literals;

// A private server: started by the script, killed by PID, resumed on its data and port.
class TPrivateMariaDb {
 public:
  explicit TPrivateMariaDb(const std::string& dir) : dir_(dir) {}
  ~TPrivateMariaDb() { Script("stop"); }

  bool Start() {
    if (!Script("start")) return false;
    const std::string env = ReadTextFile(dir_ + "/env");
    const std::string key = "FENWOLD_TEST_MARIADB_PORT=";
    const size_t at = env.find(key);
    if (at == std::string::npos) return false;
    port_ = env.substr(at + key.size(), env.find('\n', at) - at - key.size());
    return !port_.empty();
  }
  bool Resume() { return Script("restart"); }

  // SIGKILL to the server's PID; true once it is gone (or only a zombie is left of it).
  bool Kill() {
    const std::string pidText = ReadTextFile(dir_ + "/pid");
    const int pid = std::atoi(pidText.c_str());
    if (pid <= 0 || kill(pid, SIGKILL) != 0) return false;
    return WaitUntil(
        [&] {
          const std::string stat = ReadTextFile("/proc/" + std::to_string(pid) + "/stat");
          const size_t paren = stat.rfind(')');
          return stat.empty() ||
                 (paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] == 'Z');
        },
        20s);
  }

  TDbParams Params() const {
    return {"",
            "fenwold",
            "fw-test-pw",
            "fenwold_test",
            "MariaDB Unicode",
            "SERVER=127.0.0.1;PORT=" + port_};
  }

 private:
  bool Script(const std::string& command) {
    const std::string cmd = "bash '" + std::string(FENWOLD_SOURCE_DIR) + "/scripts/mariadb.sh' " +
                            command + " '" + dir_ + "' >'" + dir_ + "." + command + ".out' 2>&1";
    return std::system(cmd.c_str()) == 0;
  }

  std::string dir_;
  std::string port_;
};

// Removes the folder when the test ends, after the server in it has stopped.
struct TScratch {
  std::string path = MakeScratchDir("fenwold-outage");
  ~TScratch() { RemoveScratchDir(path); }
};

TEST(ServiceOutage, MariaDbKilledAndRestarted) {
  TScratch scratch;
  const std::string& root = scratch.path;
  TPrivateMariaDb server(root + "/mariadb");
  ASSERT_TRUE(server.Start()) << ReadTextFile(root + "/mariadb.start.out");
  TServiceFolders folders(root + "/svc");
  {
    TODBC db;
    ASSERT_TRUE(server.Params().Connect(db, false));
    ASSERT_TRUE(PrepareCardDatabase(db, TTestDriver::kMariaDb, FENWOLD_SOURCE_DIR, folders));
  }
  const std::string registry = folders.root + "/registry.reg";
  WriteRegistryFile(registry, server.Params());

  TChildProcess service;
  ASSERT_TRUE(service.Start(FENWOLD_BINARY, {}, ServiceEnv(folders, registry, 200), root));
  auto texts = [&] {
    std::vector<std::string> t;
    for (const std::string& line : LogLines(folders.logs)) t.push_back(LogText(line));
    return t;
  };
  auto count = [&](const std::string& prefix) {
    const auto t = texts();
    return std::count_if(t.begin(), t.end(),
                         [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
  };
  auto arrives = [&](const std::string& folder, const std::string& name) {
    return WaitUntil([&] { return FileExistsAt(folder + "/" + name); }, 60s);
  };

  DropCardFile(folders, "before.csv", StaffCardLine(740001));
  ASSERT_TRUE(arrives(folders.done, "before.csv")) << service.Stderr();

  // The server goes away between ticks.
  ASSERT_TRUE(server.Kill());
  DropCardFile(folders, "during.csv", StaffCardLine(740002));
  std::this_thread::sleep_for(2500ms);  // a dozen ticks
  EXPECT_TRUE(FileExistsAt(folders.drop + "/during.csv"));
  EXPECT_TRUE(FilesIn(folders.errors).empty());
  EXPECT_EQ(count("Database unreachable"), 1);
  EXPECT_EQ(count("Database reachable again"), 0);

  ASSERT_TRUE(server.Resume()) << ReadTextFile(root + "/mariadb.restart.out");
  ASSERT_TRUE(arrives(folders.done, "during.csv"));
  EXPECT_EQ(count("Database reachable again"), 1);

  // The server goes away while a file is being staged: the file waits, whole, and is staged
  // once the server is back.
  const int rows = 2000;
  std::string text;
  for (int i = 0; i < rows; ++i) text += StaffCardLine(741000 + i);
  TFolderWatch watch(folders.drop, IN_OPEN);
  ASSERT_TRUE(watch.Ok());
  DropCardFile(folders, "cut.csv", text);
  const std::string name = "cut.csv";
  ASSERT_TRUE(watch.Next(IN_OPEN, 30s, &name));
  ASSERT_TRUE(server.Kill());
  std::this_thread::sleep_for(2000ms);
  EXPECT_TRUE(FilesIn(folders.errors).empty());
  ASSERT_TRUE(server.Resume());
  ASSERT_TRUE(arrives(folders.done, "cut.csv"));
  EXPECT_TRUE(FilesIn(folders.errors).empty());
  EXPECT_TRUE(FilesIn(folders.drop).empty());
  EXPECT_EQ(count("Database unreachable"), 2);
  EXPECT_EQ(count("Database reachable again"), 2);

  {
    TODBC db;
    ASSERT_TRUE(server.Params().Connect(db, false));
    // Every row once: none lost with the first try, none doubled by the second.
    EXPECT_TRUE(WaitUntil(
        [&] {
          return QueryText(db,
                           "SELECT COUNT(*) FROM card WHERE number BETWEEN 741000 AND 742999") ==
                 std::to_string(rows);
        },
        60s));
    EXPECT_EQ(QueryText(db, "SELECT COUNT(*) FROM card WHERE number BETWEEN 740001 AND 740002"),
              "2");
  }

  ASSERT_TRUE(service.Signal(SIGTERM));
  const auto status = service.Wait(60s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(texts().back(), "End Log");
}

}  // namespace
}  // namespace fw::test

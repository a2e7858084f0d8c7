// The database server killed and started again under a running service: card files wait in the drop
// folder instead of failing into the error folder, the log says so once each way, and
// staging resumes. The test runs a server of its own (scripts/mariadb.sh, scripts/postgres.sh).
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

class ServiceOutage : public ::testing::TestWithParam<TTestDriver> {};

TEST_P(ServiceOutage, ServerKilledAndRestarted) {
  TTempDir scratch;
  const std::string& root = scratch.Path();
  TPrivateServer server(GetParam(), FENWOLD_SOURCE_DIR);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  TServiceFolders folders(root + "/svc");
  {
    TODBC db;
    ASSERT_TRUE(server.Params().Connect(db, false));
    ASSERT_TRUE(PrepareCardDatabase(db, GetParam(), FENWOLD_SOURCE_DIR, folders));
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
    return WaitUntil([&] { return PathExists(folder + "/" + name); }, 60s);
  };

  DropCardFile(folders, "before.csv", StaffCardLine(740001));
  ASSERT_TRUE(arrives(folders.done, "before.csv")) << service.Stderr();

  // The server goes away between ticks.
  ASSERT_TRUE(server.Kill());
  DropCardFile(folders, "during.csv", StaffCardLine(740002));
  // The service notices; the file waits in the drop folder meanwhile.
  ASSERT_TRUE(WaitUntil([&] { return count("Database unreachable") == 1; }, 60s));
  EXPECT_TRUE(PathExists(folders.drop + "/during.csv"));
  EXPECT_TRUE(FilesIn(folders.errors).empty());
  EXPECT_EQ(count("Database unreachable"), 1);
  EXPECT_EQ(count("Database reachable again"), 0);
  // The status line says since when; an interrogate request writes it to the log.
  auto statusLines = [&] {
    std::vector<std::string> lines;
    for (const std::string& t : texts()) {
      if (t.rfind("Status: ", 0) == 0) lines.push_back(t);
    }
    return lines;
  };
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil([&] { return statusLines().size() == 1; }, 30s));
  // (Whether the pass after the first pickup ran before the kill is up to timing.)
  EXPECT_NE(statusLines()[0].find("; picked up 1, rejected 0; "), std::string::npos)
      << statusLines()[0];
  EXPECT_NE(statusLines()[0].find("; database unreachable since "), std::string::npos)
      << statusLines()[0];

  ASSERT_TRUE(server.Restart(error)) << error;
  ASSERT_TRUE(arrives(folders.done, "during.csv"));
  EXPECT_EQ(count("Database reachable again"), 1);
  ASSERT_TRUE(service.Signal(SIGHUP));
  ASSERT_TRUE(WaitUntil([&] { return statusLines().size() == 2; }, 30s));
  EXPECT_EQ(statusLines()[1].find("unreachable"), std::string::npos) << statusLines()[1];

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
  ASSERT_TRUE(WaitUntil([&] { return count("Database unreachable") == 2; }, 60s));
  EXPECT_TRUE(FilesIn(folders.errors).empty());
  ASSERT_TRUE(server.Restart(error)) << error;
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

INSTANTIATE_TEST_SUITE_P(Servers, ServiceOutage,
                         ::testing::Values(TTestDriver::kMariaDb, TTestDriver::kPostgres),
                         TestDriverName);

}  // namespace
}  // namespace fw::test

// The future-card pass, batched, on files of new cards and of top-ups of existing cards: the
// pass alone (the file staged first) and the whole scan (staging, then the pass), on SQLite
// (JournalMode=WAL), MariaDB and PostgreSQL (FENWOLD_TEST_*, as scripts/*.sh print them).
// Each measurement starts from a fresh database; top-ups meet cards applied by a scan before.
//
//   pass_bench [--only=SQLite|MariaDB|Postgres] [rows]   default 100000
#include <unistd.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/statement.h"
#include "intake/card_intake.h"
#include "intake/card_schema.h"
#include "log/messlog.h"
#include "tests/support/service_setup.h"

namespace fw {
namespace {

struct TTarget {
  std::string name, user, password, database, driver, options, admin;
};

bool Connect(const TTarget& t, const std::string& database, TODBC& db, bool manual) {
  return db.Connect("", t.user, t.password, database, manual, t.driver, t.options);
}

// Cards 10^12 + i: new ones with their type and group, top-ups of the same numbers adding days
// and a description of their own.
void WriteCardFile(const std::string& path, long long rows, bool topUps) {
  std::ofstream out(path, std::ios::binary);
  for (long long i = 0; i < rows; ++i) {
    out << "A," << 1000000000000LL + i << "," << (topUps ? "" : "Day") << ",Desk " << i
        << (topUps ? " again" : "") << ",0000,20240101,1200,20300901," << 1 + i % 30
        << ",North,Lastname,Firstname,Main Street 1,Leeds,LS1 4AP,0113 496 0000,"
           "0113 496 0001,AB12 CDE,,x,m1,m2,m3,m4\r\n";
  }
}

// User and system time of this process: on SQLite the whole of the database's work, and the
// measure that a busy machine disturbs least.
double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct TRun {
  TTarget target;
  std::string folder, database;
  TODBC mainDb, stagingDb;
};

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(3);
}

// Times the pass alone or the whole scan of `rows` cards, new or top-ups.
double Measure(const TTarget& target, long long rows, bool topUps, bool scanOnly, double& cpu) {
  static int serial = 0;
  char folder[] = "/tmp/fenwold-passbench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) Fail("mkdtemp");
  std::string database = std::string(folder) + "/cards.db";
  const bool server = target.driver != "SQLite3";
  if (server) {
    database = "fw_passbench_" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
    TODBC admin;
    if (!Connect(target, target.admin, admin, false)) Fail("cannot connect");
    TODBCStatement(admin).Exec("CREATE DATABASE " + database);
  }
  double seconds = 0;
  {
    TODBC mainDb, stagingDb;
    if (!Connect(target, database, mainDb, false) || !Connect(target, database, stagingDb, true))
      Fail("cannot connect");
    const char* dialect = target.driver == "SQLite3"              ? "sqlite"
                          : target.driver == "PostgreSQL Unicode" ? "postgres"
                                                                  : "mysql";
    for (const std::string& statement : SplitSqlStatements(CardSchemaFor(dialect)))
      TODBCStatement(mainDb).Exec(statement);
    const std::string f = folder;
    TODBCStatement(mainDb).Exec("INSERT INTO card_type (name) VALUES ('Day')");
    TODBCStatement(mainDb).Exec(
        "INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('North', 10, 0)");
    TODBCStatement(mainDb).Exec(
        "INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('" + f +
        "/drop', '" + f + "/done', '" + f + "/done')");
    std::filesystem::create_directories(f + "/done");
    std::filesystem::create_directories(f + "/drop");
    TMessLog log(f + "/fenwold.log", TLogOptions{.dailyFiles = true});
    TCardIntake intake(log, mainDb, stagingDb);
    intake.Folders.files = f + "/done";
    intake.Folders.errors = f + "/done";
    if (topUps) {
      WriteCardFile(f + "/drop/new.csv", rows, false);
      if (!intake.ScanCardFiles()) Fail("scan of new cards failed");
    }
    const std::string path = f + "/drop/cards.csv";
    WriteCardFile(path, rows, topUps);
    const auto start = std::chrono::steady_clock::now();
    if (scanOnly) {
      if (!intake.ScanCardFiles()) Fail("scan failed");
    } else {
      if (intake.ProcessCardFile(path) != foStaged) Fail("staging failed");
      const auto passStart = std::chrono::steady_clock::now();
      const double cpuStart = CpuSeconds();
      if (intake.ProcessFutureCards() != poDone) Fail("pass failed");
      cpu = CpuSeconds() - cpuStart;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count();
    }
    if (scanOnly)
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    TODBCStatement left(mainDb);
    left.Exec("SELECT COUNT(*) AS n FROM futurecard");
    TODBCStatement cards(mainDb);
    cards.Exec("SELECT COUNT(*) AS n FROM card");
    if (left.FieldAsString("n") != "0" || cards.FieldAsString("n") != std::to_string(rows))
      Fail("cards missing or left staged");
    TODBCStatement topped(mainDb);
    topped.Exec("SELECT COUNT(*) AS n FROM card WHERE descr LIKE '% again'");
    if (topped.FieldAsString("n") != std::to_string(topUps ? rows : 0)) Fail("top-ups missing");
  }
  if (server) {
    TODBC admin;
    if (Connect(target, target.admin, admin, false))
      TODBCStatement(admin).Exec("DROP DATABASE " + database);
  }
  std::filesystem::remove_all(folder);
  return seconds;
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  long long rows = 100000;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--only=", 0) == 0) {
      only = arg.substr(7);
    } else {
      rows = std::atoll(argv[i]);
    }
  }
  std::vector<TTarget> targets = {{"SQLite", "", "", "", "SQLite3", "JournalMode=WAL", ""}};
  for (const auto& [name, driver, server] : test::ServersFromEnv()) {
    targets.push_back({name, server.user, server.password, server.database,
                       test::OdbcDriverName(driver), server.Options(), server.database});
  }
  std::printf("%-8s %7s %-8s %8s %8s %9s %10s\n", "database", "rows", "cards", "pass s", "scan s",
              "pass/s", "pass cpu s");
  for (const TTarget& target : targets) {
    if (!only.empty() && only != target.name) continue;
    for (const bool topUps : {false, true}) {
      double cpu = 0, unused = 0;
      const double pass = Measure(target, rows, topUps, false, cpu);
      const double scan = Measure(target, rows, topUps, true, unused);
      std::printf("%-8s %7lld %-8s %8.2f %8.2f %9.0f %10.2f\n", target.name.c_str(), rows,
                  topUps ? "top-ups" : "new", pass, scan, rows / pass, cpu);
      std::fflush(stdout);
    }
  }
  return 0;
}

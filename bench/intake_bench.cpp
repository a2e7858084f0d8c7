// Card intake batched against the per-row paths (FENWOLD_INTAKE=per-row): staging, the
// future-card pass and a whole scan (staging then the pass, as `fenwoldctl scan` and every
// tick of the service run it) of card files of 10,000 and 100,000 new cards, all due, on
// SQLite (JournalMode=WAL), MariaDB (FENWOLD_TEST_MARIADB_*, as scripts/mariadb.sh prints
// them) and PostgreSQL (FENWOLD_TEST_POSTGRES_*, as scripts/postgres.sh prints them). Every
// measurement runs in a child process of its own, so that its peak memory is its own. The
// goal column is the speed-up (or, for a scan, the time) to reach. A second table times the
// running service (the fenwold binary, a 100 ms tick) from the drop of the file to its last
// card applied, against the batched scan of the same file. A third compares the scan of a
// file with 10 bad lines (rejected) with the scan of the same file clean.
//
//   intake_bench [--repeat=N] [--only=staging|pass|scan|service|reject] [rows...]
//   defaults: 1 repeat, every phase, 10000 and 100000 rows
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/statement.h"
#include "intake/card_file.h"
#include "intake/card_intake.h"
#include "intake/card_schema.h"
#include "log/messlog.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/service_setup.h"

namespace fw {
namespace {

struct TTarget {
  std::string name;
  std::string user, password, database, driver, options;
  std::string adminDatabase;   // servers: the database to connect to for CREATE / DROP
  std::string serverDatabase;  // servers: created per run
  long long badLines = 0;      // card files with this many lines the database refuses
};

struct TResult {
  double seconds = 0;
  long peakKb = 0;
  long long count = 0;
};

long PeakKb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool Connect(const TTarget& t, TODBC& db, bool manual) {
  return db.Connect("", t.user, t.password, t.database, manual, t.driver, t.options);
}

void RunDdl(TODBC& db, const TTarget& t) {
  const char* ddl = CardSchemaFor(t.driver == "SQLite3"              ? "sqlite"
                                  : t.driver == "PostgreSQL Unicode" ? "postgres"
                                                                     : "mysql");
  for (const std::string& statement : SplitSqlStatements(ddl)) {
    TODBCStatement s(db);
    s.Exec(statement);
  }
  TODBCStatement s(db);
  s.Exec("INSERT INTO card_type (name) VALUES ('Day')");
  // SQLite keeps text of any length: the column's limit, as the servers hold it.
  if (t.driver == "SQLite3") {
    s.Exec("CREATE TRIGGER descr_limit BEFORE INSERT ON futurecard WHEN length(NEW.descr) > 255 "
           "BEGIN SELECT RAISE(ABORT, 'value too long for descr'); END");
  }
  s.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('North', 10, 0)");
}

// New cards, all due; `bad` of them, spread over the file, with a description longer than
// its column.
void WriteCardFile(const std::string& path, long long rows, long long bad = 0) {
  std::ofstream out(path, std::ios::binary);
  const std::string tooLong(300, 'd');
  for (long long i = 0; i < rows; ++i) {
    const bool refused = bad > 0 && i % (rows / bad) == rows / bad / 2;
    out << "A," << 1000000000000LL + i << ",Day," << (refused ? tooLong : "Desk " + std::to_string(i))
        << ",0000,20240101,1200,20300901,"
        << i % 30
        << ",North,Lastname,Firstname,Main Street 1,Leeds,LS1 4AP,0113 496 0000,0113 496 0001,"
           "AB12 CDE,,x,m1,m2,m3,m4\r\n";
  }
}

enum TStep { stSetup, stStage, stPass, stScan, stService, stCleanup };

// The service started on the prepared database and folders, idle; then the card file goes
// into its drop folder, and the clock runs until the service reports every card applied.
TResult RunService(const TTarget& target, long long rows, const std::string& folder) {
  TResult result;
  const std::string drop = folder + "/drop/cards.csv", aside = folder + "/cards.csv";
  std::filesystem::rename(drop, aside);
  test::TDbParams params;
  params.database = target.database;
  params.user = target.user;
  params.password = target.password;
  params.driver = target.driver;
  params.options = target.options;
  test::WriteRegistryFile(folder + "/registry.reg", params);
  std::filesystem::create_directories(folder + "/logs");
  test::TNotifyListener notify(folder + "/notify");
  test::TChildProcess service;
  if (!notify.Ok() || !service.Start(FENWOLD_BINARY, {},
                                     {{"FENWOLD_REGISTRY", folder + "/registry.reg"},
                                      {"FENWOLD_LOG_DIR", folder + "/logs"},
                                      {"FENWOLD_TICK_MS", "100"},
                                      {"NOTIFY_SOCKET", notify.Path()}},
                                     folder)) {
    std::exit(3);
  }
  // A message after the first tick: the service is connected and idle.
  const auto awaitStatus = [&](const std::string& want) {
    while (const auto message = notify.Receive(std::chrono::minutes(5))) {
      if (message->find("STATUS=") != std::string::npos &&
          message->find(want) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  if (!awaitStatus("applied 0")) std::exit(4);
  const auto start = std::chrono::steady_clock::now();
  std::filesystem::rename(aside, drop);
  if (!awaitStatus("applied " + std::to_string(rows) + ", waiting 0")) std::exit(4);
  result.seconds = Since(start);
  result.count = rows;
  service.Signal(SIGTERM);
  if (!service.Wait(std::chrono::minutes(1))) std::exit(4);
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  result.peakKb = usage.ru_maxrss;
  return result;
}

// One step in this (child) process; measurements report time, peak memory and their count.
TResult RunStep(const TTarget& target, TStep step, bool perRow, long long rows,
                const std::string& folder) {
  TResult result;
  if (step == stCleanup || (step == stSetup && !target.serverDatabase.empty())) {
    TTarget server = target;
    server.database = target.adminDatabase;
    TODBC admin;
    if (!Connect(server, admin, false)) std::exit(3);
    TODBCStatement s(admin);
    s.Exec((step == stCleanup ? "DROP DATABASE " : "CREATE DATABASE ") + target.serverDatabase);
    if (step == stCleanup) return result;
  }
  TODBC mainDb, stagingDb;
  if (!Connect(target, mainDb, false) || !Connect(target, stagingDb, true)) {
    std::fprintf(stderr, "cannot connect to %s: %s\n", target.name.c_str(),
                 mainDb.LastError().c_str());
    std::exit(3);
  }
  const std::string path = folder + "/drop/cards.csv";
  TMessLog log(folder + "/fenwold.log", TLogOptions{.dailyFiles = true});
  TCardIntake intake(log, mainDb, stagingDb);
  intake.SetBatched(!perRow);
  intake.Folders.files = folder + "/done";
  intake.Folders.errors = folder + "/done";
  if (step == stSetup) {
    RunDdl(mainDb, target);
    TODBCStatement settings(mainDb);
    settings.Exec("INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('" +
                  folder + "/drop', '" + folder + "/done', '" + folder + "/done')");
    std::filesystem::create_directories(folder + "/done");
    std::filesystem::create_directories(folder + "/drop");
    WriteCardFile(path, rows, target.badLines);
    return result;
  }

  if (step == stService) {
    result = RunService(target, rows, folder);
  } else {
    const auto start = std::chrono::steady_clock::now();
    if (step == stStage) {
      if (intake.ProcessCardFile(path) != foStaged) std::exit(4);
    } else if (step == stPass) {
      if (intake.ProcessFutureCards() != poDone) std::exit(4);
    } else if (!intake.ScanCardFiles() ||
               (target.badLines > 0 && intake.Tally.linesRejected != size_t(target.badLines))) {
      std::exit(4);
    }
    result.count = rows;
    result.seconds = Since(start);
    result.peakKb = PeakKb();
  }
  TODBCStatement left(mainDb);
  left.Exec("SELECT COUNT(*) AS n FROM futurecard");
  const std::string expected = step == stStage ? std::to_string(rows) : "0";
  TODBCStatement cards(mainDb);
  cards.Exec("SELECT COUNT(*) AS n FROM card");
  const long long applied = target.badLines > 0 ? 0 : rows;
  if (step != stStage && cards.FieldAsString("n") != std::to_string(applied)) {
    std::fprintf(stderr, "%s: %s cards, expected %lld\n", target.name.c_str(),
                 cards.FieldAsString("n").c_str(), rows);
    std::exit(6);
  }
  if (left.FieldAsString("n") != expected) {
    std::fprintf(stderr, "%s: %s staged records, expected %s\n", target.name.c_str(),
                 left.FieldAsString("n").c_str(), expected.c_str());
    std::exit(6);
  }
  return result;
}

TResult InChild(const TTarget& target, TStep step, bool perRow, long long rows,
                const std::string& folder) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    const TResult r = RunStep(target, step, perRow, rows, folder);
    const std::string line =
        std::to_string(r.seconds) + " " + std::to_string(r.peakKb) + " " + std::to_string(r.count);
    if (::write(pipeFds[1], line.c_str(), line.size()) < 0) std::_Exit(5);
    std::_Exit(0);
  }
  ::close(pipeFds[1]);
  char buffer[128] = {};
  const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer - 1);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  TResult r;
  if (n > 0) std::sscanf(buffer, "%lf %ld %lld", &r.seconds, &r.peakKb, &r.count);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) r.seconds = 0;
  return r;
}

// A fresh database and card file (staged first when the pass is measured), then the timed
// step, each in a child process of its own.
TResult Measure(TTarget target, TStep step, bool perRow, long long rows) {
  static int run = 0;
  char folder[] = "/tmp/fenwold-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return {};
  if (target.driver == "SQLite3") {
    target.database = std::string(folder) + "/cards.db";
  } else {
    target.serverDatabase = "fw_bench_" + std::to_string(::getpid()) + "_" + std::to_string(run++);
    target.database = target.serverDatabase;
  }
  InChild(target, stSetup, false, rows, folder);
  if (step == stPass) InChild(target, stStage, false, rows, folder);
  const TResult result = InChild(target, step, perRow, rows, folder);
  if (!target.serverDatabase.empty()) InChild(target, stCleanup, false, rows, folder);
  std::filesystem::remove_all(folder);
  return result;
}

// The best of `repeats` runs of `measure`: the machine is shared, and the best run is the one
// least disturbed by others. A failed run (0 s) never counts as the best.
template <typename Measurement>
TResult BestOf(int repeats, Measurement measure) {
  TResult best;
  for (int run = 0; run < repeats; ++run) {
    const TResult r = measure();
    if (run == 0 || (r.seconds > 0 && r.seconds < best.seconds)) best = r;
  }
  return best;
}

using TScanTimes = std::map<std::pair<std::string, long long>, TResult>;

// Per-row against batched for each phase; the batched scans are kept for the service table.
void PrintPathTable(const std::vector<TTarget>& targets, const std::vector<long long>& sizes,
                    int repeats, const std::string& only, TScanTimes& scans) {
  const TStep steps[] = {stStage, stPass, stScan};
  const char* names[] = {"staging", "pass", "scan"};
  std::printf("%-8s %-8s %7s %10s %10s %7s %9s %8s %7s %8s %6s %8s\n", "database", "phase", "rows",
              "per-row/s", "batched/s", "ratio", "per-row s", "batch s", "goal", "peak MB", "limit",
              "linear");
  for (const TTarget& target : targets) {
    const bool sqlite = target.driver == "SQLite3";
    double previous[3] = {0, 0, 0};
    for (const long long rows : sizes) {
      const std::string path = "/tmp/fenwold-bench-size.csv";
      WriteCardFile(path, rows);
      const double fileMb = static_cast<double>(std::filesystem::file_size(path)) / (1024 * 1024);
      std::filesystem::remove(path);
      for (int kind = 0; kind < 3; ++kind) {
        if (!only.empty() && only != names[kind]) continue;
        const TResult batched =
            BestOf(repeats, [&] { return Measure(target, steps[kind], false, rows); });
        const TResult perRow =
            BestOf(repeats, [&] { return Measure(target, steps[kind], true, rows); });
        if (steps[kind] == stScan) scans[{target.name, rows}] = batched;
        char goal[32];
        if (steps[kind] == stScan) {
          std::snprintf(goal, sizeof goal, rows == 100000 ? "<=%.0fs" : "-", sqlite ? 5.0 : 10.0);
        } else {
          std::snprintf(goal, sizeof goal, ">=%.1fx",
                        kind == 0 ? (sqlite ? 1.3 : 4.0) : (sqlite ? 5.0 : 10.0));
        }
        std::printf("%-8s %-8s %7lld %10.0f %10.0f %6.1fx %9.2f %8.2f %7s %8.1f %6.1f",
                    target.name.c_str(), names[kind], rows, rows / perRow.seconds,
                    rows / batched.seconds, perRow.seconds / batched.seconds, perRow.seconds,
                    batched.seconds, goal, batched.peakKb / 1024.0, 3 * fileMb + 20);
        if (previous[kind] > 0) std::printf(" %7.1fx", batched.seconds / previous[kind]);
        std::printf("\n");
        std::fflush(stdout);
        previous[kind] = batched.seconds;
      }
    }
  }
  std::printf(
      "ratio: per-row time / batched time; linear: batched time against the previous "
      "size (goal <= 11x for 10x rows)\n");
}

// The running service against the batched scan of the same file (measured here when the path
// table did not).
void PrintServiceTable(const std::vector<TTarget>& targets, const std::vector<long long>& sizes,
                       int repeats, const TScanTimes& scans) {
  std::printf("\n%-8s %7s %8s %10s %8s %7s %8s\n", "database", "rows", "scan s", "service s",
              "service", "goal", "peak MB");
  for (const TTarget& target : targets) {
    for (const long long rows : sizes) {
      const auto known = scans.find({target.name, rows});
      const TResult scan = known != scans.end() ? known->second : BestOf(repeats, [&] {
        return Measure(target, stScan, false, rows);
      });
      const TResult service =
          BestOf(repeats, [&] { return Measure(target, stService, false, rows); });
      std::printf("%-8s %7lld %8.2f %10.2f %7.2fx %7s %8.1f\n", target.name.c_str(), rows,
                  scan.seconds, service.seconds, service.seconds / scan.seconds, "<=1.10x",
                  service.peakKb / 1024.0);
      std::fflush(stdout);
    }
  }
  std::printf(
      "service: from the drop of the file (tick 100 ms) to the status line that reports "
      "every card applied, against the batched scan\n");
}

// A scan of a file with bad lines (rejected: its bad lines found and logged, nothing staged)
// against the scan of the same file clean (staged and applied).
void PrintRejectionTable(const std::vector<TTarget>& targets, const std::vector<long long>& sizes,
                         int repeats) {
  constexpr long long kBad = 10;
  std::printf("\n%-8s %7s %12s %9s %12s %7s %13s %7s\n", "database", "rows", "clean scan s",
              "10 bad s", "ratio", "goal", "clean stage s", "ratio");
  for (TTarget target : targets) {
    for (const long long rows : sizes) {
      target.badLines = 0;
      const TResult clean = BestOf(repeats, [&] { return Measure(target, stScan, false, rows); });
      const TResult staged = BestOf(repeats, [&] { return Measure(target, stStage, false, rows); });
      target.badLines = kBad;
      const TResult bad = BestOf(repeats, [&] { return Measure(target, stScan, false, rows); });
      std::printf("%-8s %7lld %12.2f %9.2f %11.2fx %7s %13.2f %6.2fx\n", target.name.c_str(),
                  rows, clean.seconds, bad.seconds, bad.seconds / clean.seconds, "<=1.30x",
                  staged.seconds, bad.seconds / staged.seconds);
      std::fflush(stdout);
    }
  }
  std::printf(
      "a scan as `fenwoldctl scan` runs it: the clean file staged and applied, the same file "
      "with %lld over-long descriptions rejected with every bad line logged (on SQLite a "
      "trigger holds the column's length); the last ratio sets the rejection against the "
      "clean file's staging alone\n",
      kBad);
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  std::vector<long long> sizes;
  int repeats = 1;
  std::string only;  // "staging", "pass", "scan", "service" or "reject": that one alone
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--repeat=", 0) == 0) {
      repeats = std::max(1, std::atoi(argv[i] + 9));
    } else if (std::string(argv[i]).rfind("--only=", 0) == 0) {
      only = argv[i] + 7;
    } else {
      sizes.push_back(std::atoll(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {10000, 100000};

  std::vector<TTarget> targets = {{"SQLite", "", "", "", "SQLite3", "JournalMode=WAL", "", ""}};
  for (const auto& [name, driver] : {std::pair{"MariaDB", test::TTestDriver::kMariaDb},
                                     std::pair{"Postgres", test::TTestDriver::kPostgres}}) {
    test::TDbServer server;
    std::string missing;
    if (!test::DbServerFromEnv(driver, server, missing)) {
      std::printf("%s left out: %s not set\n", name, missing.c_str());
      continue;
    }
    targets.push_back({name, server.user, server.password, server.database,
                       test::OdbcDriverName(driver), server.Options(), server.database, ""});
  }

  TScanTimes scans;
  if (only != "service" && only != "reject") PrintPathTable(targets, sizes, repeats, only, scans);
  if (only.empty() || only == "service") PrintServiceTable(targets, sizes, repeats, scans);
  if (only.empty() || only == "reject") PrintRejectionTable(targets, sizes, repeats);
  return 0;
}

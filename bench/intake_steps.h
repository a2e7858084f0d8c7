// What intake_bench measures and how: a fresh database and card file per measurement, the
// timed step in a child process of its own (so that its peak memory is its own), and the
// database's own loader timed on the same rows. Included by intake_bench.cpp alone.
#pragma once

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
#include "platform/utf16.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/service_setup.h"


namespace fw {
namespace {


// UTF-16: little-endian after a byte-order mark, as a Windows export writes it.
enum TFileText { ftUtf8, ftUtf16 };

struct TTarget {
  std::string name;
  std::string user, password, database, driver, options;
  std::string host, port;      // servers: where their own clients connect
  std::string adminDatabase;   // servers: the database to connect to for CREATE / DROP
  std::string serverDatabase;  // servers: created per run
  long long badLines = 0;      // card files with this many lines the database refuses
  TFileText text = ftUtf8;     // what its card files are written in
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
void WriteCardFile(const std::string& path, long long rows, long long bad = 0,
                   TFileText text = ftUtf8) {
  std::ofstream out(path, std::ios::binary);
  const std::string tooLong(300, 'd');
  if (text == ftUtf16) out << "\xFF\xFE";
  std::string line, wide;
  for (long long i = 0; i < rows; ++i) {
    const bool refused = bad > 0 && i % (rows / bad) == rows / bad / 2;
    line = "A," + std::to_string(1000000000000LL + i) + ",Day," +
           (refused ? tooLong : "Desk " + std::to_string(i)) + ",0000,20240101,1200,20300901," +
           std::to_string(i % 30) +
           ",North,Lastname,Firstname,Main Street 1,Leeds,LS1 4AP,0113 496 0000,0113 496 0001,"
           "AB12 CDE,,x,m1,m2,m3,m4\r\n";
    if (text == ftUtf8) {
      out << line;
      continue;
    }
    wide.clear();
    for (const char16_t unit : Utf8ToUtf16(line)) {
      wide += static_cast<char>(unit & 0xFF);
      wide += static_cast<char>(unit >> 8);
    }
    out << wide;
  }
}

enum TStep { stSetup, stStage, stPass, stScan, stService, stLoad, stCleanup };

const char* const kLoadedColumns =
    "command, number, card_type, descr, start_dt, exp_iry, add_value, group_name, last_name, "
    "first_name, str_eet, ci_ty, post_code, phone_res, phone_bus, license_1, license_2, "
    "misc_1, misc_2, misc_3, misc_4";

// The rows WriteCardFile stages, as CSV for the database's own loader (SQLite's .import fills
// every column of the table, the id first).
void WriteLoaderFile(const std::string& path, long long rows, bool withIds) {
  std::ofstream out(path, std::ios::binary);
  for (long long i = 0; i < rows; ++i) {
    if (withIds) out << i + 1 << ",";
    out << "A," << 1000000000000LL + i << ",Day,Desk " << i
        << ",2024-01-01 00:00:00,2030-09-01 12:00:00," << i % 30
        << ",North,Lastname,Firstname,Main Street 1,Leeds,LS1 4AP,0113 496 0000,0113 496 0001,"
           "AB12 CDE,,m1,m2,m3,m4\n";
  }
}

// The loader's command line: client start, connect and load, as an operator would time it.
std::string LoaderCommand(const TTarget& t, const std::string& csv) {
  if (t.driver == "SQLite3") {
    return "sqlite3 " + t.database + " '.mode csv' '.import " + csv + " futurecard'";
  }
  if (t.driver == "PostgreSQL Unicode") {
    return "PGPASSWORD='" + t.password + "' psql -q -h " + t.host + " -p " + t.port + " -U " +
           t.user + " -d " + t.database + " -c \"\\copy futurecard (" + kLoadedColumns +
           ") FROM '" + csv + "' WITH (FORMAT csv)\"";
  }
  return "MYSQL_PWD='" + t.password + "' mariadb --no-defaults --local-infile=1 -h " + t.host +
         " -P " + t.port + " -u " + t.user + " " + t.database +
         " -e \"LOAD DATA LOCAL INFILE '" + csv +
         "' INTO TABLE futurecard FIELDS TERMINATED BY ',' LINES TERMINATED BY '\\n' (" +
         kLoadedColumns + ")\"";
}

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
    WriteCardFile(path, rows, target.badLines, target.text);
    return result;
  }

  if (step == stService) {
    result = RunService(target, rows, folder);
  } else if (step == stLoad) {
    const std::string csv = folder + "/loader.csv";
    WriteLoaderFile(csv, rows, target.driver == "SQLite3");
    const auto start = std::chrono::steady_clock::now();
    if (std::system(LoaderCommand(target, csv).c_str()) != 0) std::exit(4);
    result.seconds = Since(start);
    result.count = rows;
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
  const std::string expected =
      step == stStage || step == stLoad ? std::to_string(rows) : "0";
  TODBCStatement cards(mainDb);
  cards.Exec("SELECT COUNT(*) AS n FROM card");
  const long long applied = target.badLines > 0 ? 0 : rows;
  if (step != stStage && step != stLoad && cards.FieldAsString("n") != std::to_string(applied)) {
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


}  // namespace
}  // namespace fw

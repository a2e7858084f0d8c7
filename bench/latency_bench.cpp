// How soon the running service (the fenwold binary, default 25 s tick) makes a card work, with
// the drop folder's watch on and off (registry CardFileEvents), and with the drop folder on a
// share: a bindfs mount of a backing folder that the files are written into, as another host
// writes them, so that only the poll (CardFilePollMs, default on there) or the tick finds
// them; "share" polls, "share-off" sets CardFilePollMs to 0. On SQLite (JournalMode=WAL),
// MariaDB (FENWOLD_TEST_MARIADB_*) and PostgreSQL (FENWOLD_TEST_POSTGRES_*), as the scripts
// print them:
//   drop     a one-line file renamed into the drop folder, at random moments, to its new card
//            applied (the status line that counts it): median and 99th percentile
//   start    a staged top-up of an existing card, whose start is 3 s ahead (28 s without
//            events, so that the tick stages it before), from its start to applied (the hourly
//            pass alone would leave it up to 59 minutes)
//   burst    1,000 one-card files renamed in at once, from the first to the last card applied
//   scan     1,000 one-card files through `fenwoldctl scan` with the service stopped, in the same
//            run: what the disk and the database allow at the moment (local rows only)
//   idle     the service's CPU time per tick with nothing to do (a 200 ms tick)
//
//   latency_bench [--drops=N] [--only=on|off|share|share-off]
//   latency_bench --idle-minute   an idle minute, local and on a share: CPU, statements
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/odbc.h"
#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_schema.h"
#include "platform/datetime.h"
#include "service/run_settings.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/own_mount.h"
#include "tests/support/service_setup.h"

namespace fw {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

struct TTarget {
  std::string name;
  test::TDbParams params;
  std::string adminDatabase;  // servers: where CREATE / DROP DATABASE runs
};

bool Connect(const test::TDbParams& p, TODBC& db) {
  std::string options = p.options;
  if (!p.password.empty()) options += (options.empty() ? "" : ";") + ("PWD=" + p.password);
  return db.Connect("", p.user, "", p.database, false, p.driver, options);
}

bool Exec(TODBC& db, const std::string& sql) {
  TODBCStatement s(db);
  return s.Exec(sql).Ok();
}

std::string CardLine(long long number) {
  return "A," + std::to_string(number) +
         ",Day,Desk,0000,20240101,1200,20300901,1,North,Lastname,Firstname\r\n";
}

double CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) * 1000.0 / ::sysconf(_SC_CLK_TCK);
}

enum TMode { kEvents, kNoEvents, kShare, kShareNoPoll };
constexpr const char* kModeNames[] = {"on", "off", "share", "share-off"};

// One service run on a fresh database and folders.
class TRun {
 public:
  TRun(const TTarget& target, TMode mode, unsigned tickMs) : target_(target) {
    char folder[] = "/tmp/fenwold-latency-XXXXXX";
    if (::mkdtemp(folder) == nullptr) std::exit(3);
    root_ = folder;
    share_ = mode == kShare || mode == kShareNoPoll;
    // On a share the folders are made in the backing folder, and the service sees them
    // below its mount.
    folders_ = std::make_unique<test::TServiceFolders>(share_ ? root_ + "/backing" : root_);
    test::TServiceFolders seen = *folders_;
    if (share_) {
      for (std::string* path : {&seen.root, &seen.drop, &seen.done, &seen.errors, &seen.logs}) {
        path->replace(0, folders_->root.size(), root_ + "/share");
      }
      std::filesystem::create_directories(seen.root);
    }
    params_ = target.params;
    if (target.adminDatabase.empty()) {
      params_.database = folders_->root + "/cards.db";
    } else {
      static int run = 0;
      params_.database = "fw_latency_" + std::to_string(::getpid()) + "_" + std::to_string(run++);
      test::TDbParams admin = target.params;
      admin.database = target.adminDatabase;
      TODBC db;
      if (!Connect(admin, db) || !Exec(db, "CREATE DATABASE " + params_.database)) std::exit(3);
    }
    if (!Connect(params_, db_)) {
      std::fprintf(stderr, "cannot connect to %s: %s\n", target.name.c_str(),
                   db_.LastError().c_str());
      std::exit(3);
    }
    const char* ddl = CardSchemaFor(target.params.driver == "SQLite3"              ? "sqlite"
                                    : target.params.driver == "PostgreSQL Unicode" ? "postgres"
                                                                                   : "mysql");
    for (const std::string& statement : SplitSqlStatements(ddl)) Exec(db_, statement);
    Exec(db_, "INSERT INTO card_type (name) VALUES ('Day')");
    Exec(db_, "INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('North', 100000, 0)");
    Exec(db_, "INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES ('" +
                  seen.drop + "', '" + seen.done + "', '" + seen.errors + "')");
    const std::string registry = root_ + "/registry.reg";
    test::WriteRegistryFile(registry, params_);
    if (mode == kNoEvents) {
      std::ofstream(registry, std::ios::app) << "\"CardFileEvents\"=dword:00000000\r\n";
    }
    if (mode == kShareNoPoll) {
      std::ofstream(registry, std::ios::app) << "\"CardFilePollMs\"=dword:00000000\r\n";
    }
    notify_ = std::make_unique<test::TNotifyListener>(root_ + "/notify");
    test::TEnv env = test::ServiceEnv(*folders_, registry, tickMs);
    env["NOTIFY_SOCKET"] = notify_->Path();
    const bool started =
        share_ ? test::StartInOwnMount(service_, folders_->root, seen.root, FENWOLD_BINARY, env,
                                       root_)
               : service_.Start(FENWOLD_BINARY, {}, env, root_);
    if (!notify_->Ok() || !started) std::exit(3);
    // The first tick's status line: connected and idle.
    if (!Await("applied 0", 120s)) std::exit(4);
  }

  ~TRun() {
    service_.Signal(SIGTERM);
    service_.Wait(60s);
    db_.Disconnect();
    if (!target_.adminDatabase.empty()) {
      test::TDbParams admin = target_.params;
      admin.database = target_.adminDatabase;
      TODBC db;
      if (Connect(admin, db)) Exec(db, "DROP DATABASE " + params_.database);
    }
    std::filesystem::remove_all(root_);
  }

  // Waits for a status line holding `want`; the moment it came, or nullopt.
  std::optional<TSteady::time_point> Await(const std::string& want,
                                           std::chrono::milliseconds timeout) {
    const auto until = TSteady::now() + timeout;
    while (TSteady::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TSteady::now());
      const auto message = notify_->Receive(left);
      if (!message) break;
      if (message->find(want) != std::string::npos) return TSteady::now();
    }
    return std::nullopt;
  }

  void Drop(const std::string& name, const std::string& text) {
    const std::string aside = root_ + "/" + name;
    std::ofstream(aside, std::ios::binary) << text;
    std::filesystem::rename(aside, folders_->drop + "/" + name);
  }

  std::string Applied() const { return "applied " + std::to_string(applied_) + ", waiting 0"; }

  // Seconds from each drop to its card applied; the drops come at random moments up to
  // `spreadMs` after the last one was applied (without events: over a whole tick).
  std::vector<double> Drops(int count, unsigned spreadMs) {
    std::mt19937 random(7);
    std::vector<double> seconds;
    for (int i = 0; i < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % spreadMs));
      const auto start = TSteady::now();
      Drop("drop" + std::to_string(i) + ".csv", CardLine(2000000 + i));
      ++applied_;
      const auto done = Await(Applied(), 60s);
      if (!done) std::exit(4);
      seconds.push_back(std::chrono::duration<double>(*done - start).count());
    }
    return seconds;
  }

  // From the record's start to its application; nullopt when not within `limit` of its start.
  // The start lies `ahead` seconds on: far enough for a pass to have seen it before.
  std::optional<double> DueStart(int ahead, std::chrono::seconds limit) {
    Drop("base.csv", CardLine(3000000));
    ++applied_;
    if (!Await(Applied(), 60s)) std::exit(4);
    const TDateTime start = std::floor(SystemClock().Now() * 86400.0 + ahead) / 86400.0;
    Exec(db_, "INSERT INTO futurecard (command, number, card_type, start_dt, add_value) VALUES "
              "('C', 3000000, 'Day', " + TimestampLiteral(start) + ", 1)");
    // A pass must see it: the one after the next file's staging.
    Drop("trigger.csv", CardLine(3000001));
    applied_ += 2;
    const auto done = Await(Applied(), limit + std::chrono::seconds(ahead));
    if (!done) return std::nullopt;
    const double late = (SystemClock().Now() - start) * 86400.0 -
                        std::chrono::duration<double>(TSteady::now() - *done).count();
    return late;
  }

  // 1,000 one-card files renamed in at once: seconds to the last card applied.
  std::optional<double> Burst(int files, std::chrono::seconds limit) {
    const std::string aside = root_ + "/burst";
    std::filesystem::create_directories(aside);
    for (int i = 0; i < files; ++i) {
      std::ofstream(aside + "/b" + std::to_string(i) + ".csv", std::ios::binary)
          << CardLine(4000000 + i);
    }
    const auto start = TSteady::now();
    for (int i = 0; i < files; ++i) {
      const std::string name = "/b" + std::to_string(i) + ".csv";
      std::filesystem::rename(aside + name, folders_->drop + name);
    }
    applied_ += files;
    const auto done = Await(Applied(), limit);
    if (!done) return std::nullopt;
    return std::chrono::duration<double>(*done - start).count();
  }

  // The same as a burst through `fenwoldctl scan` with the service stopped: what the disk and
  // the database give at the moment (the machine is shared).
  double ScanBurst(int files) {
    service_.Signal(SIGTERM);
    service_.Wait(60s);
    for (int i = 0; i < files; ++i) {
      std::ofstream(folders_->drop + "/s" + std::to_string(i) + ".csv", std::ios::binary)
          << CardLine(5000000 + i);
    }
    const std::string ctl =
        std::filesystem::path(FENWOLD_BINARY).parent_path().string() + "/fenwoldctl";
    const auto start = TSteady::now();
    const test::TRunResult r = test::RunProgram(
        ctl, {"scan"},
        {{"FENWOLD_REGISTRY", root_ + "/registry.reg"}, {"FENWOLD_LOG_DIR", folders_->logs}},
        root_, 300s);
    if (r.status != 0) std::exit(4);
    return std::chrono::duration<double>(TSteady::now() - start).count();
  }

  // CPU ms per tick over `span` with nothing to do.
  double IdleCpuPerTick(std::chrono::milliseconds span, unsigned tickMs) {
    const pid_t pid = ServicePid();
    const double before = CpuMs(pid);
    std::this_thread::sleep_for(span);
    return (CpuMs(pid) - before) / (static_cast<double>(span.count()) / tickMs);
  }

  // A minute of an idle service at the default settings: its CPU time as a share of one core,
  // and the statements the database server counted meanwhile (MariaDB: Questions; PostgreSQL:
  // transactions in the service's database, each autocommit statement one), less the readings'
  // own. Counted from another connection; -1 where the server keeps no count (SQLite).
  std::pair<double, long long> IdleMinute() {
    const auto count = [&]() -> long long {
      if (target_.adminDatabase.empty()) return -1;
      test::TDbParams admin = target_.params;
      admin.database = target_.adminDatabase;
      TODBC db;
      if (!Connect(admin, db)) return -1;
      TODBCStatement s(db, caReadOnly);
      const bool maria = target_.params.driver != "PostgreSQL Unicode";
      if (!s.Exec(maria ? "SELECT VARIABLE_VALUE AS value FROM information_schema.GLOBAL_STATUS "
                          "WHERE VARIABLE_NAME = 'QUESTIONS'"
                        : "SELECT xact_commit + xact_rollback AS value FROM pg_stat_database "
                          "WHERE datname = '" + params_.database + "'")) {
        return -1;
      }
      const std::string value = s.FieldAsString("value");
      return value.empty() ? -1 : std::atoll(value.c_str());
    };
    const pid_t pid = ServicePid();
    // What one reading costs the count (MariaDB's is global): two in a row tell.
    const long long first = count();
    const long long before = count();
    const double cpu = CpuMs(pid);
    std::this_thread::sleep_for(60s);
    const double used = CpuMs(pid) - cpu;
    const long long after = count();
    const long long trips =
        first < 0 || before < 0 || after < 0 ? -1 : (after - before) - (before - first);
    return {used / 60000.0 * 100.0, trips};
  }

  // On a share the child is the shell that holds the mount: the service is its child.
  pid_t ServicePid() const {
    if (!share_) return service_.Pid();
    const std::string self = std::to_string(service_.Pid());
    std::ifstream children("/proc/" + self + "/task/" + self + "/children");
    for (pid_t child; children >> child;) {
      std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
      std::string name;
      if (std::getline(comm, name) && name == "fenwold") return child;
    }
    return service_.Pid();
  }

 private:
  TTarget target_;
  std::string root_;
  bool share_ = false;
  test::TDbParams params_;
  std::unique_ptr<test::TServiceFolders> folders_;
  std::unique_ptr<test::TNotifyListener> notify_;
  test::TChildProcess service_;
  TODBC db_;
  long long applied_ = 0;
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::string Cell(const std::optional<double>& s, int limit) {
  char text[32];
  if (!s) {
    std::snprintf(text, sizeof text, ">%d", limit);
  } else {
    std::snprintf(text, sizeof text, "%.2f", *s);
  }
  return text;
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  int drops = 40;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--drops=", 0) == 0) drops = std::max(1, std::atoi(arg.c_str() + 8));
    if (arg.rfind("--only=", 0) == 0) only = arg.substr(7);
    if (arg == "--idle-minute") only = "idle-minute";
  }
  std::vector<TTarget> targets;
  TTarget sqlite;
  sqlite.name = "SQLite";
  sqlite.params.driver = "SQLite3";
  sqlite.params.options = "JournalMode=WAL";
  targets.push_back(sqlite);
  for (const auto& [name, driver, server] : test::ServersFromEnv()) {
    TTarget target;
    target.name = name;
    target.params.user = server.user;
    target.params.password = server.password;
    target.params.driver = test::OdbcDriverName(driver);
    target.params.options = server.Options();
    target.adminDatabase = server.database;
    targets.push_back(target);
  }

  if (only == "idle-minute") {
    std::printf("%-8s %-9s %10s %22s\n", "database", "folder", "% of core", "statements/minute");
    for (const TTarget& target : targets) {
      for (TMode mode : {kEvents, kShare}) {
        TRun run(target, mode, kDefaultTickMs);
        const auto [core, trips] = run.IdleMinute();
        std::printf("%-8s %-9s %9.3f%% %22s\n", target.name.c_str(), kModeNames[mode], core,
                    trips < 0 ? "-" : std::to_string(trips).c_str());
        std::fflush(stdout);
      }
    }
    return 0;
  }
  std::printf("%-8s %-9s %6s %9s %9s %8s %9s %8s %12s\n", "database", "events", "drops",
              "median s", "p99 s", "start s", "burst s", "scan s", "idle ms/tick");
  for (const TTarget& target : targets) {
    for (TMode mode : {kEvents, kNoEvents, kShare, kShareNoPoll}) {
      if (!only.empty() && only != kModeNames[mode]) continue;
      // A drop waits for the tick without events or a poll: fewer samples say as much.
      const bool tickOnly = mode == kNoEvents || mode == kShareNoPoll;
      const int samples = tickOnly ? std::max(1, drops / 5) : drops;
      // Drops at random moments over what they wait for: the watch, a poll, the tick.
      const unsigned spreadMs = tickOnly ? kDefaultTickMs : mode == kShare ? 1000 : 400;
      std::vector<double> seconds;
      std::optional<double> start, burst;
      std::optional<double> scan;
      {
        TRun run(target, mode, kDefaultTickMs);
        seconds = run.Drops(samples, spreadMs);
        // Without events the record's file waits for the tick, which must come before its
        // start for the start to be what is measured.
        start = run.DueStart(tickOnly ? 28 : 3, 30s);
        burst = run.Burst(1000, 60s);
        // fenwoldctl outside the mount's namespace would not see the share's folders.
        if (mode == kEvents || mode == kNoEvents) scan = run.ScanBurst(1000);
      }
      double idle = 0;
      {
        TRun run(target, mode, 200);
        idle = run.IdleCpuPerTick(10s, 200);
      }
      std::printf("%-8s %-9s %6d %9.3f %9.3f %8s %9s %8s %12.2f\n", target.name.c_str(),
                  kModeNames[mode], samples, Percentile(seconds, 0.5), Percentile(seconds, 0.99),
                  Cell(start, 30).c_str(), Cell(burst, 60).c_str(),
                  scan ? Cell(scan, 0).c_str() : "-", idle);
      std::fflush(stdout);
    }
  }
  std::printf(
      "\ndrop: a one-line file renamed in to its card applied; start: a staged top-up applied "
      "after its start (goal <= 2 s);\nburst: 1,000 one-card files renamed in at once to the last "
      "applied (goal <= 2 s, Postgres 3 s), beside the same through fenwoldctl scan;\ngoals for drop: median <= 0.3 s, p99 <= 1 s; idle: CPU time of the service per 200 ms tick, nothing to do\n");
  return 0;
}

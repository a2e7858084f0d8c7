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
// A fourth, the loader table, sets staging alone and the scan beside the database's own bulk
// loader (sqlite3 .import, LOAD DATA LOCAL INFILE through the mariadb client, psql \copy) for
// the same rows in the same run, with the peak memory of staging.
//
// A fifth, the text table (--only=text, alone), stages the same cards written in UTF-8 and in
// UTF-16, with the peak memory of each.
//
//   intake_bench [--repeat=N] [--only=staging|pass|scan|service|reject|loader|text]
//                [--no-scan] [rows...]
//   defaults: 1 repeat, every phase, 10000 and 100000 rows
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/intake_steps.h"

namespace fw {
namespace {

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
                  rows, clean.seconds, bad.seconds, bad.seconds / clean.seconds, "<=1.50x",
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

// Staging alone, the scan and the loader of the same rows, each on a fresh database; a size
// above 100,000 also sets its scan beside the 100,000-row scan (goal: 20 times the rows within
// 25 times the time).
void PrintLoaderTable(const std::vector<TTarget>& targets, const std::vector<long long>& sizes,
                      int repeats, bool withScan) {
  std::printf("\n%-8s %8s %9s %8s %9s %9s %7s %7s %9s %7s %8s\n", "database", "rows",
              "staging s", "scan s", "loader s", "staging", "goal", "scan", "peak MB", "goal",
              "x100k");
  for (const TTarget& target : targets) {
    double scan100k = 0;
    for (const long long rows : sizes) {
      const TResult loader = BestOf(repeats, [&] { return Measure(target, stLoad, false, rows); });
      const TResult staged = BestOf(repeats, [&] { return Measure(target, stStage, false, rows); });
      const TResult scan =
          withScan ? BestOf(repeats, [&] { return Measure(target, stScan, false, rows); })
                   : TResult{};
      if (rows == 100000) scan100k = scan.seconds;
      char scanRatio[16] = "-", linear[24] = "-";
      if (withScan) std::snprintf(scanRatio, sizeof scanRatio, "%.1fx", scan.seconds / loader.seconds);
      if (withScan && rows > 100000 && scan100k > 0) {
        std::snprintf(linear, sizeof linear, "%.1fx/%.0fx", scan.seconds / scan100k,
                      static_cast<double>(rows) / 100000 * 1.25);
      }
      std::printf("%-8s %8lld %9.2f %8.2f %9.2f %8.1fx %7s %7s %9.1f %7s %8s\n",
                  target.name.c_str(), rows, staged.seconds, scan.seconds, loader.seconds,
                  staged.seconds / loader.seconds, "<=2x", scanRatio, staged.peakKb / 1024.0,
                  "<=64", linear);
      std::fflush(stdout);
    }
  }
  std::printf(
      "staging: staging alone / the loader (the scan: staging and the pass / the loader, goal "
      "<=5x); peak MB: of the staging process; x100k: the scan / the 100,000-row scan of the "
      "same run, against its goal (1.25 times the rows' ratio); a 0.00 is a failed run; loader "
      "times include the client's start and connect\n");
}

// Staging alone of the same cards in UTF-8 and in UTF-16 (twice the bytes, decoded piece by
// piece like the other): the memory must not grow with either.
void PrintTextTable(const std::vector<TTarget>& targets, const std::vector<long long>& sizes,
                    int repeats) {
  std::printf("\n%-8s %8s %9s %8s %9s %8s %7s %6s\n", "database", "rows", "UTF-8 s", "peak MB",
              "UTF-16 s", "peak MB", "ratio", "goal");
  for (TTarget target : targets) {
    for (const long long rows : sizes) {
      target.text = ftUtf8;
      const TResult utf8 = BestOf(repeats, [&] { return Measure(target, stStage, false, rows); });
      target.text = ftUtf16;
      const TResult utf16 = BestOf(repeats, [&] { return Measure(target, stStage, false, rows); });
      std::printf("%-8s %8lld %9.2f %8.1f %9.2f %8.1f %6.2fx %6s\n", target.name.c_str(), rows,
                  utf8.seconds, utf8.peakKb / 1024.0, utf16.seconds, utf16.peakKb / 1024.0,
                  utf16.seconds / utf8.seconds, "<=64");
      std::fflush(stdout);
    }
  }
  std::printf(
      "staging alone of the same cards in UTF-8 and in UTF-16LE with its byte-order mark; "
      "ratio: UTF-16 time / UTF-8 time; goal: peak MB of the staging process\n");
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  std::vector<long long> sizes;
  int repeats = 1;
  bool noScan = false;
  std::string only;  // "staging", "pass", "scan", "service", "reject", ...: that one alone
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--repeat=", 0) == 0) {
      repeats = std::max(1, std::atoi(argv[i] + 9));
    } else if (std::string(argv[i]) == "--no-scan") {
      noScan = true;  // the loader table without the scans, which take long past a million rows
    } else if (std::string(argv[i]).rfind("--only=", 0) == 0) {
      only = argv[i] + 7;
    } else {
      sizes.push_back(std::atoll(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {10000, 100000};

  std::vector<TTarget> targets = {{"SQLite", "", "", "", "SQLite3", "JournalMode=WAL", "", "", "", ""}};
  for (const auto& [name, driver, server] : test::ServersFromEnv()) {
    targets.push_back({name, server.user, server.password, server.database,
                       test::OdbcDriverName(driver), server.Options(), server.host, server.port,
                       server.database, ""});
  }

  TScanTimes scans;
  if (only == "text") {
    PrintTextTable(targets, sizes, repeats);
    return 0;
  }
  if (only == "loader") {
    PrintLoaderTable(targets, sizes, repeats, !noScan);
    return 0;
  }
  if (only != "service" && only != "reject") PrintPathTable(targets, sizes, repeats, only, scans);
  if (only.empty() || only == "service") PrintServiceTable(targets, sizes, repeats, scans);
  if (only.empty() || only == "reject") PrintRejectionTable(targets, sizes, repeats);
  return 0;
}

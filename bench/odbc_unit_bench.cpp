// What a guarded unit costs on an auto-commit connection: N units of one INSERT each, ended
// by BEGIN and COMMIT as statement text, or by TTransaction (auto-commit off for the unit,
// SQLEndTran, auto-commit back on), against the bare INSERT committed by auto-commit. On
// SQLite3 ODBC, MariaDB (FENWOLD_TEST_MARIADB_*) and PostgreSQL (FENWOLD_TEST_POSTGRES_*);
// the three loops take turns in blocks so that drift of a shared machine falls on all alike.
//   odbc_unit_bench [N]     default 2000
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "db/odbc.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "tests/support/db_fixture.h"

namespace fw {
namespace {

using Clock = std::chrono::steady_clock;

struct TTarget {
  std::string label;
  test::TDbParams params;
};

struct TRates {
  double bare = 0, text = 0, guard = 0;  // units per second
};

bool Measure(const TTarget& t, int units, TRates& rates) {
  TODBC db;
  if (!t.params.Connect(db, false)) {
    std::fprintf(stderr, "%s: cannot connect: %s\n", t.label.c_str(), db.LastError().c_str());
    return false;
  }
  TODBCStatement st(db);
  st.Exec("DROP TABLE bench_unit");
  if (!st.Exec("CREATE TABLE bench_unit (id INTEGER PRIMARY KEY, lp INTEGER)")) {
    std::fprintf(stderr, "%s: %s\n", t.label.c_str(), st.ErrorText().c_str());
    return false;
  }
  Clock::duration spent[3]{};
  int id = 0;
  const auto insert = [&](int loop) {
    return st.Exec("INSERT INTO bench_unit VALUES (" + std::to_string(++id) + ", " +
                   std::to_string(loop) + ")");
  };
  constexpr int kBlock = 200;
  for (int from = 0; from < units; from += kBlock) {
    const int n = std::min(units - from, kBlock);
    for (int loop = 0; loop < 3; ++loop) {
      const auto start = Clock::now();
      for (int i = 0; i < n; ++i) {
        TDbStatus status;
        if (loop == 0) {
          status = insert(loop);
        } else if (loop == 1) {
          status = st.Exec("BEGIN");
          if (status) status = insert(loop);
          if (status) status = st.Exec("COMMIT");
        } else {
          TTransaction unit(st);
          status = unit.Status();
          if (status) status = insert(loop);
          if (status) status = unit.Commit();
        }
        if (!status) {
          std::fprintf(stderr, "%s: %s\n", t.label.c_str(), status.CodedText().c_str());
          return false;
        }
      }
      spent[loop] += Clock::now() - start;
    }
  }
  st.Exec("DROP TABLE bench_unit");
  const auto rate = [&](int k) { return units / std::chrono::duration<double>(spent[k]).count(); };
  rates = {rate(0), rate(1), rate(2)};
  return true;
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  const int units = argc > 1 ? std::atoi(argv[1]) : 2000;
  char dir[] = "/tmp/fenwold-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string sqliteFile = std::string(dir) + "/bench.db";

  std::vector<TTarget> targets = {{"SQLite3 ODBC", {"", "", "", sqliteFile, "SQLite3", ""}}};
  int status = 0;
  for (auto [driver, label] : {std::pair{test::TTestDriver::kMariaDb, "MariaDB"},
                               std::pair{test::TTestDriver::kPostgres, "PostgreSQL"}}) {
    test::TDbServer server;
    std::string missing;
    if (!test::DbServerFromEnv(driver, server, missing)) {
      std::printf("%s not run: %s not set (scripts/bench.sh sets them)\n", label, missing.c_str());
      status = 1;
      continue;
    }
    targets.push_back({label,
                       {"", server.user, server.password, server.database,
                        test::OdbcDriverName(driver), server.Options()}});
  }

  std::printf("%d units of one INSERT on an auto-commit connection; units/s\n\n", units);
  std::printf("| driver       | bare INSERT | BEGIN/COMMIT text | TTransaction | guard/text |\n");
  std::printf("|--------------|------------:|------------------:|-------------:|-----------:|\n");
  for (const TTarget& t : targets) {
    TRates r;
    if (!Measure(t, units, r)) {
      status = 1;
      continue;
    }
    std::printf("| %-12s | %11.0f | %17.0f | %12.0f | %10.2f |\n", t.label.c_str(), r.bare, r.text,
                r.guard, r.guard / r.text);
    std::fflush(stdout);
  }
  std::remove(sqliteFile.c_str());
  rmdir(dir);
  return status;
}

// TODBCStatement::Exec against a plain SQLExecDirect loop on the same connection: N INSERTs of
// a 20-column staged card row in one transaction, on SQLite3 ODBC, on MariaDB
// (FENWOLD_TEST_MARIADB_*) and on PostgreSQL (FENWOLD_TEST_POSTGRES_*). The two loops take
// turns in blocks, each into a table of its own, so that drift of a shared machine falls on
// both alike.
//   odbc_exec_bench [N]     default 20000
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/diagnostics.h"
#include "db/odbc.h"
#include "db/odbc_binding.h"
#include "db/statement.h"

namespace fw {
namespace {

using Clock = std::chrono::steady_clock;

struct TTarget {
  std::string label;
  std::string driver, database, user, password, options;
  std::string idColumn;  // the auto-increment key in this dialect
  std::string stampType = "DATETIME";
};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string Table(const std::string& name, const TTarget& t) {
  return "CREATE TABLE " + name + " (" + t.idColumn +
         ", command VARCHAR(10), number BIGINT, card_type VARCHAR(40), descr VARCHAR(80), "
         "start_dt " +
         t.stampType + ", exp_iry " + t.stampType +
         ", add_value INTEGER, group_name VARCHAR(40), "
         "last_name VARCHAR(40), first_name VARCHAR(40), str_eet VARCHAR(80), ci_ty VARCHAR(40), "
         "post_code VARCHAR(12), phone_res VARCHAR(24), phone_bus VARCHAR(24), "
         "license_1 VARCHAR(20), license_2 VARCHAR(20), misc_1 VARCHAR(40), misc_2 VARCHAR(40), "
         "misc_3 VARCHAR(40))";
}

std::string Insert(const std::string& table, int i) {
  const std::string n = std::to_string(i);
  return "INSERT INTO " + table +
         " (command, number, card_type, descr, start_dt, exp_iry, add_value, group_name, "
         "last_name, first_name, str_eet, ci_ty, post_code, phone_res, phone_bus, license_1, "
         "license_2, misc_1, misc_2, misc_3) Values ('A', " +
         std::to_string(4000000000LL + i) + ", 'Monthly', 'Card " + n +
         "', {ts '2024-03-05 07:30:00'}, {ts '2025-03-05 23:59:59'}, 30, 'Blue Lot', 'O''Brien', "
         "'Ann " +
         n + "', 'Harbour Road " + n + "', 'Fenwold', '" + std::to_string(10000 + i % 9000) +
         "', '555-" + n + "', '555-9" + n + "', 'AB-" + n + "', '', 'm1', 'm2', 'm3')";
}

bool Run(TODBC& db, const std::string& sql) {
  TODBCStatement st(db);
  if (st.Exec(sql)) return true;
  std::fprintf(stderr, "  %s\n  %s\n", sql.c_str(), st.ErrorText().c_str());
  return false;
}

struct TRates {
  double plain = 0;   // SQLExecDirect in a loop
  double exec = 0;    // TODBCStatement::Exec on a thread without an exec-wait hook
  double hooked = 0;  // the same with a hook set, as the service runs: through the worker
};

// Rows per second of each loop, or false when something failed.
bool Measure(const TTarget& t, int rows, TRates& rates) {
  TODBC db;
  if (!db.Connect("", t.user, t.password, t.database, true, t.driver, t.options)) {
    std::fprintf(stderr, "%s: cannot connect: %s\n", t.label.c_str(), db.LastError().c_str());
    return false;
  }
  const char* tables[] = {"bench_plain", "bench_exec", "bench_hooked"};
  for (const char* name : tables) {
    TODBCStatement drop(db);
    drop.Exec(std::string("DROP TABLE ") + name);
    if (!Run(db, Table(name, t))) return false;
  }
  db.EndTrans(true);

  std::vector<std::string> sql[3];
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < rows; ++i) sql[k].push_back(Insert(tables[k], i));
  }

  SQLHANDLE plain = SQL_NULL_HANDLE;
  if (!Succeeded(OdbcApi.SQLAllocHandle(SQL_HANDLE_STMT, db.Dbc(), &plain))) return false;
  TODBCStatement statement(db), hooked(db);
  Clock::duration spent[3]{};
  int hookCalls = 0;
  constexpr int kBlock = 1000;
  for (int from = 0; from < rows; from += kBlock) {
    const int to = std::min(rows, from + kBlock);
    auto start = Clock::now();
    for (int i = from; i < to; ++i) {
      auto* text = reinterpret_cast<SQLCHAR*>(sql[0][i].data());
      if (!Succeeded(OdbcApi.SQLExecDirect(plain, text, SQL_NTS))) {
        std::fprintf(stderr, "%s: plain INSERT failed: %s\n", t.label.c_str(),
                     DiagText(ReadDiagnostics(SQL_HANDLE_STMT, plain)).c_str());
        return false;
      }
    }
    spent[0] += Clock::now() - start;
    for (int k = 1; k < 3; ++k) {
      TODBCStatement& st = k == 1 ? statement : hooked;
      if (k == 2) SetExecWaitHook([&] { ++hookCalls; });
      start = Clock::now();
      for (int i = from; i < to; ++i) {
        if (!st.Exec(sql[k][i])) {
          std::fprintf(stderr, "%s: Exec failed: %s\n", t.label.c_str(), st.ErrorText().c_str());
          return false;
        }
      }
      spent[k] += Clock::now() - start;
      SetExecWaitHook(nullptr);
    }
  }
  OdbcApi.SQLFreeHandle(SQL_HANDLE_STMT, plain);
  if (!db.EndTrans(true)) return false;
  const auto rate = [&](int k) { return rows / std::chrono::duration<double>(spent[k]).count(); };
  rates = {rate(0), rate(1), rate(2)};
  return true;
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  const int rows = argc > 1 ? std::atoi(argv[1]) : 20000;
  char dir[] = "/tmp/fenwold-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const std::string sqliteFile = std::string(dir) + "/bench.db";

  std::vector<TTarget> targets = {
      {"SQLite3 ODBC", "SQLite3", sqliteFile, "", "", "", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
  };
  const std::string port = Env("FENWOLD_TEST_MARIADB_PORT");
  if (!port.empty()) {
    targets.push_back({"MariaDB", "MariaDB Unicode", Env("FENWOLD_TEST_MARIADB_DATABASE"),
                       Env("FENWOLD_TEST_MARIADB_USER"), Env("FENWOLD_TEST_MARIADB_PASSWORD"),
                       "SERVER=" + Env("FENWOLD_TEST_MARIADB_HOST") + ";PORT=" + port,
                       "id INTEGER AUTO_INCREMENT PRIMARY KEY"});
  }
  const std::string pgPort = Env("FENWOLD_TEST_POSTGRES_PORT");
  if (!pgPort.empty()) {
    targets.push_back({"PostgreSQL", "PostgreSQL Unicode", Env("FENWOLD_TEST_POSTGRES_DATABASE"),
                       Env("FENWOLD_TEST_POSTGRES_USER"), Env("FENWOLD_TEST_POSTGRES_PASSWORD"),
                       "SERVER=" + Env("FENWOLD_TEST_POSTGRES_HOST") + ";PORT=" + pgPort,
                       "id INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", "TIMESTAMP(0)"});
  }

  std::printf("%d INSERTs of a 20-column row, one transaction, one connection; rows/s\n\n", rows);
  std::printf(
      "| driver       | plain SQLExecDirect |   Exec | ratio | Exec, wait hook set | ratio |\n");
  std::printf(
      "|--------------|--------------------:|-------:|------:|--------------------:|------:|\n");
  int status = 0;
  for (const TTarget& t : targets) {
    TRates r;
    if (!Measure(t, rows, r)) {
      status = 1;
      continue;
    }
    std::printf("| %-12s | %19.0f | %6.0f | %5.2f | %19.0f | %5.2f |\n", t.label.c_str(), r.plain,
                r.exec, r.exec / r.plain, r.hooked, r.hooked / r.plain);
    std::fflush(stdout);
  }
  std::printf(
      "\nExec runs the statement on the calling thread when that thread has no exec-wait\n"
      "hook, and on the statement's worker thread (waking the caller on completion) when\n"
      "it has one, as the service's main thread does.\n");
  if (port.empty()) {
    std::printf("\nMariaDB not run: FENWOLD_TEST_MARIADB_* not set (scripts/bench.sh sets them)\n");
    status = 1;
  }
  if (pgPort.empty()) {
    std::printf(
        "\nPostgreSQL not run: FENWOLD_TEST_POSTGRES_* not set (scripts/bench.sh sets them)\n");
    status = 1;
  }
  std::remove(sqliteFile.c_str());
  rmdir(dir);
  return status;
}

// Card intake against a plain ODBC loop running the same statements: staging card files of
// 10,000 and 100,000 card rows and the future-card pass over the staged records, on SQLite
// (JournalMode=WAL), MariaDB (FENWOLD_TEST_MARIADB_*, as scripts/mariadb.sh prints them) and
// PostgreSQL (FENWOLD_TEST_POSTGRES_*, as scripts/postgres.sh prints them).
// Every measurement runs in a child process of its own, so that its peak memory is its own.
//
//   intake_bench [--repeat=N] [--only=staging|pass] [rows...]   defaults: 3, both, 10000 100000
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_file.h"
#include "intake/card_intake.h"
#include "intake/card_schema.h"
#include "intake/staging_sql.h"
#include "log/messlog.h"

namespace fw {
namespace {

// The plain loop calls the driver manager directly, on the handles of the same connections.
struct TRawOdbc {
  SQLRETURN (*AllocHandle)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
  SQLRETURN (*FreeHandle)(SQLSMALLINT, SQLHANDLE);
  SQLRETURN (*ExecDirect)(SQLHSTMT, SQLCHAR*, SQLINTEGER);
  SQLRETURN (*Fetch)(SQLHSTMT);
  SQLRETURN (*GetData)(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*);
  SQLRETURN (*FreeStmt)(SQLHSTMT, SQLUSMALLINT);
  SQLRETURN (*NumResultCols)(SQLHSTMT, SQLSMALLINT*);
  SQLRETURN (*EndTran)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT);

  bool Load() {
    void* lib = ::dlopen("libodbc.so.2", RTLD_NOW);
    if (lib == nullptr) lib = ::dlopen("libodbc.so", RTLD_NOW);
    if (lib == nullptr) return false;
    const auto bind = [lib](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
      return fn != nullptr;
    };
    return bind(AllocHandle, "SQLAllocHandle") && bind(FreeHandle, "SQLFreeHandle") &&
           bind(ExecDirect, "SQLExecDirect") && bind(Fetch, "SQLFetch") &&
           bind(GetData, "SQLGetData") && bind(FreeStmt, "SQLFreeStmt") &&
           bind(NumResultCols, "SQLNumResultCols") && bind(EndTran, "SQLEndTran");
  }
};

TRawOdbc Raw;

class TRawStatement {
 public:
  explicit TRawStatement(TODBC& db) { Raw.AllocHandle(SQL_HANDLE_STMT, db.Dbc(), &handle_); }
  ~TRawStatement() { Raw.FreeHandle(SQL_HANDLE_STMT, handle_); }
  // Runs a text; for a result, fetches the first row and reads every column as text.
  bool Exec(const std::string& sql) {
    Raw.FreeStmt(handle_, SQL_CLOSE);
    const SQLRETURN rc =
        Raw.ExecDirect(handle_, (SQLCHAR*)sql.c_str(), static_cast<SQLINTEGER>(sql.size()));
    if (!Succeeded(rc)) return rc == SQL_NO_DATA;
    SQLSMALLINT columns = 0;
    Raw.NumResultCols(handle_, &columns);
    return columns == 0 || Next();
  }
  bool Next() {
    if (!Succeeded(Raw.Fetch(handle_))) return false;
    SQLSMALLINT columns = 0;
    Raw.NumResultCols(handle_, &columns);
    values_.resize(columns);
    for (SQLSMALLINT i = 0; i < columns; ++i) {
      char buffer[512];
      SQLLEN length = 0;
      Raw.GetData(handle_, i + 1, SQL_C_CHAR, buffer, sizeof buffer, &length);
      values_[i].assign(buffer, length > 0 ? std::min<SQLLEN>(length, sizeof buffer - 1) : 0);
    }
    return true;
  }
  const std::string& Value(size_t i) const { return values_.at(i); }

 private:
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  std::vector<std::string> values_;
};

struct TTarget {
  std::string name;
  std::string user, password, database, driver, options;
  std::string adminDatabase;   // servers: the database to connect to for CREATE / DROP
  std::string serverDatabase;  // servers: created per run
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
  s.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('North', 10, 0)");
}

// Half the rows add cards, the other half change them; all are due.
void WriteCardFile(const std::string& path, long long rows) {
  std::ofstream out(path, std::ios::binary);
  for (long long i = 0; i < rows; ++i) {
    out << "A," << 1000000000000LL + i % (rows / 2) << ",Day,Desk " << i
        << ",0000,20240101,1200,20300901," << i % 30
        << ",North,Lastname,Firstname,Main Street 1,Leeds,LS1 4AP,0113 496 0000,0113 496 0001,"
           "AB12 CDE,,x,m1,m2,m3,m4\r\n";
  }
}

// Staging with the plain loop: the same reading, the same texts, SQLExecDirect on this thread.
void PlainStage(TODBC& staging, const std::string& path) {
  std::vector<std::string> lines;
  LoadLinesFromFile(path, lines);
  TStringListSDF fields;
  std::vector<TColumnEntry> entries;
  TCardLineReader reader;
  TSql sql(staging.DriverKind());
  TRawStatement statement(staging);
  for (const std::string& line : lines) {
    fields.SplitLine(line);
    if (reader.Read(fields, entries) != lkCard) continue;
    std::string error;
    if (FillCardRow(entries, sql, error)) statement.Exec(CardInsertSql(sql));
  }
  Raw.EndTran(SQL_HANDLE_DBC, staging.Dbc(), SQL_COMMIT);
}

// The pass with the plain loop: the statements the pass runs for a due record of a day type.
long long PlainPass(TODBC& db) {
  TRawStatement cursor(db), card(db), type(db), group(db), write(db), transaction(db);
  TSql sql(db.DriverKind());
  long long records = 0;
  bool row = cursor.Exec("SELECT * FROM futurecard ORDER BY id");
  while (row) {
    ++records;
    const std::string id = cursor.Value(0), number = cursor.Value(2);
    const bool exists = card.Exec("SELECT * FROM card WHERE number = " + number);
    type.Exec("SELECT * FROM card_type WHERE Upper(name) = " + sql.QuotedValue("DAY"));
    group.Exec("SELECT id FROM card_pool WHERE name = " + sql.QuotedValue(cursor.Value(8)));
    sql.Clear(false);
    sql.AddField("type_id", type.Value(0), false);
    sql.AddDateTime("start_dt", ParseDateTime(cursor.Value(5)));
    sql.AddField("number", number, false);
    sql.AddField("group_id", group.Value(0), false);
    sql.AddDateTime("exp_iry", DateOf(ParseDateTime(cursor.Value(6))) + std::stoi(cursor.Value(7)) +
                                   86399999.0 / 86400000.0);
    const char* names[] = {"descr",     "last_name", "first_name", "str_eet",   "ci_ty",
                           "post_code", "phone_res", "phone_bus",  "license_1", "license_2",
                           "misc_1",    "misc_2",    "misc_3",     "misc_4"};
    const int columns[] = {4, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
    for (int i = 0; i < 14; ++i) {
      const std::string& v = cursor.Value(columns[i]);
      if (!v.empty() || !exists) sql.AddField(names[i], v, true);
    }
    sql.AddInteger("in_lot", 0);
    transaction.Exec("BEGIN");
    write.Exec(exists ? sql.UpdateText("UPDATE card", " WHERE number = " + number)
                      : sql.InsertText("INSERT INTO card", "Values"));
    card.Exec("DELETE FROM futurecard WHERE id = " + id);
    transaction.Exec("COMMIT");
    row = cursor.Next();
  }
  return records;
}

enum TStep { stSetup, stStage, stPass, stCleanup };

// One step in this (child) process; measurements report time, peak memory and their count.
TResult RunStep(const TTarget& target, TStep step, bool plain, long long rows,
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
  const std::string path = folder + "/cards.csv";
  TMessLog log(folder + "/fenwold.log", false, true, false, false);
  TCardIntake intake(log, mainDb, stagingDb);
  intake.DtlFilesDir = folder + "/done";
  intake.DtlErrorsDir = folder + "/done";
  if (step == stSetup) {
    RunDdl(mainDb, target);
    std::filesystem::create_directories(folder + "/done");
    WriteCardFile(path, rows);
    return result;
  }

  const auto start = std::chrono::steady_clock::now();
  if (step == stStage) {
    if (plain) {
      PlainStage(stagingDb, path);
    } else if (intake.ProcessCardFile(path) != foStaged) {
      std::exit(4);
    }
    result.count = rows;
  } else if (plain) {
    result.count = PlainPass(mainDb);
  } else {
    intake.ProcessFutureCards();
    result.count = rows;
  }
  result.seconds = Since(start);
  result.peakKb = PeakKb();
  TODBCStatement left(mainDb);
  left.Exec("SELECT COUNT(*) AS n FROM futurecard");
  const std::string expected = step == stStage ? std::to_string(rows) : "0";
  if (left.FieldAsString("n") != expected) {
    std::fprintf(stderr, "%s: %s staged records, expected %s\n", target.name.c_str(),
                 left.FieldAsString("n").c_str(), expected.c_str());
    std::exit(6);
  }
  return result;
}

TResult InChild(const TTarget& target, TStep step, bool plain, long long rows,
                const std::string& folder) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    const TResult r = RunStep(target, step, plain, rows, folder);
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

// A fresh database and card file, then the timed step, each in a child process of its own.
TResult Measure(TTarget target, bool pass, bool plain, long long rows) {
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
  if (pass) InChild(target, stStage, false, rows, folder);
  const TResult result = InChild(target, pass ? stPass : stStage, plain, rows, folder);
  if (!target.serverDatabase.empty()) InChild(target, stCleanup, false, rows, folder);
  std::filesystem::remove_all(folder);
  return result;
}

}  // namespace
}  // namespace fw

int main(int argc, char** argv) {
  using namespace fw;
  if (!Raw.Load()) {
    std::fprintf(stderr, "cannot load the ODBC driver manager\n");
    return 1;
  }
  std::vector<long long> sizes;
  int repeats = 3;
  std::string only;  // "staging" or "pass": that phase alone
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
  const char* host = std::getenv("FENWOLD_TEST_MARIADB_HOST");
  const char* port = std::getenv("FENWOLD_TEST_MARIADB_PORT");
  if (host != nullptr && *host != '\0' && port != nullptr && *port != '\0') {
    targets.push_back({"MariaDB", std::getenv("FENWOLD_TEST_MARIADB_USER"),
                       std::getenv("FENWOLD_TEST_MARIADB_PASSWORD"),
                       std::getenv("FENWOLD_TEST_MARIADB_DATABASE"), "MariaDB Unicode",
                       std::string("SERVER=") + host + ";PORT=" + port,
                       std::getenv("FENWOLD_TEST_MARIADB_DATABASE"), ""});
  } else {
    std::printf("MariaDB left out: FENWOLD_TEST_MARIADB_* not set\n");
  }
  const char* pgHost = std::getenv("FENWOLD_TEST_POSTGRES_HOST");
  const char* pgPort = std::getenv("FENWOLD_TEST_POSTGRES_PORT");
  if (pgHost != nullptr && *pgHost != '\0' && pgPort != nullptr && *pgPort != '\0') {
    targets.push_back({"Postgres", std::getenv("FENWOLD_TEST_POSTGRES_USER"),
                       std::getenv("FENWOLD_TEST_POSTGRES_PASSWORD"),
                       std::getenv("FENWOLD_TEST_POSTGRES_DATABASE"), "PostgreSQL Unicode",
                       std::string("SERVER=") + pgHost + ";PORT=" + pgPort,
                       std::getenv("FENWOLD_TEST_POSTGRES_DATABASE"), ""});
  } else {
    std::printf("PostgreSQL left out: FENWOLD_TEST_POSTGRES_* not set\n");
  }

  std::printf("%-8s %-8s %8s %10s %10s %6s %9s %9s %9s\n", "database", "phase", "rows", "fenwold/s",
              "plain/s", "ratio", "peak MB", "limit MB", "file MB");
  for (const TTarget& target : targets) {
    double previous[2] = {0, 0};
    long long previousRows = 0;
    for (const long long rows : sizes) {
      double fileMb = 0;
      {
        const std::string path = "/tmp/fenwold-bench-size.csv";
        WriteCardFile(path, rows);
        fileMb = static_cast<double>(std::filesystem::file_size(path)) / (1024 * 1024);
        std::filesystem::remove(path);
      }
      for (int kind = 0; kind < 2; ++kind) {
        if (!only.empty() && only != (kind == 0 ? "staging" : "pass")) continue;
        // Best of a few alternating runs: the machine is shared, and the best run is the one
        // least disturbed by others.
        TResult ours, plain;
        for (int run = 0; run < repeats; ++run) {
          const TResult o = Measure(target, kind == 1, false, rows);
          const TResult p = Measure(target, kind == 1, true, rows);
          if (run == 0 || (o.seconds > 0 && o.seconds < ours.seconds)) ours = o;
          if (run == 0 || (p.seconds > 0 && p.seconds < plain.seconds)) plain = p;
        }
        const double oursRate = ours.count / ours.seconds;
        const double plainRate = plain.count / plain.seconds;
        std::printf("%-8s %-8s %8lld %10.0f %10.0f %6.2f %9.1f %9.1f %9.1f", target.name.c_str(),
                    kind == 0 ? "staging" : "pass", rows, oursRate, plainRate, oursRate / plainRate,
                    ours.peakKb / 1024.0, 3 * fileMb + 20, fileMb);
        if (previousRows > 0) {
          std::printf("  time x%.1f for rows x%.0f", ours.seconds / previous[kind],
                      static_cast<double>(rows) / previousRows);
        }
        std::printf("\n");
        std::fflush(stdout);
        previous[kind] = ours.seconds;
      }
      previousRows = rows;
    }
  }
  return 0;
}

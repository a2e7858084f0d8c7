// Every statement and commit of staging and of the future-card pass made to fail in turn, with
// every class of failure a driver reports (and a transaction the server ends without a word),
// on every driver, batched and per record: after the
// fault and a few fault-free scans and passes, every top-up is applied once, every new card
// exists once, nothing stays staged and every file lies where a fault-free run puts it.
//
// In-process (TCardIntake on the shim, armed through its C API): a child process per cell
// would cost a connect and an exec each, and thousands of cells must fit in minutes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include "db/statement.h"
#include "intake/card_intake.h"
#include "tests/support/fault_control.h"
#include "tests/support/fenwold_process.h"
#include "tests/support/intake_env.h"
#include "tests/support/service_setup.h"

namespace fw::test {
namespace {

bool UnshareAvailable() {
  return std::system("unshare -m true") == 0;
}

struct TFixtureFile {
  const char* name;
  const char* text;
};

// Cards 7201..7203 exist before; 7203's top-up breaks the card's cap (debit_left <= 1000).
const TFixtureFile kFiles[] = {
    {"a-groups.csv",
     "G1,10\r\n"
     "A,7101,STAFF,Staff one,0800,20240101,1800,20261231,0,G1\r\n"
     "A,7102,STAFF,Staff two,0800,20240101,1800,20261231,0,G1\r\n"},
    {"b-topups.csv",
     "C,7201,DEBIT,Top-up,0800,20240101,1800,20261231,5\r\n"
     "C,7202,DEBIT,Top-up,0800,20240101,1800,20270630,3\r\n"
     "C,7201,DEBIT,Again,0800,20240101,1800,20271231,2\r\n"
     "C,7203,DEBIT,Over the cap,0800,20240101,1800,20261231,5000\r\n"},
    {"c-new.csv",
     "A,7301,DEBIT,New debit,0800,20240101,1800,20261231,4\r\n"
     "A,7302,NOSUCHTYPE,Unknown type,0800,20240101,1800,20261231,0\r\n"},
    {"d-bad.csv", "A,12 OR 1=1,STAFF\r\n"},
};

enum TPhase { phStaging, phPass };
const char* PhaseName(TPhase p) {
  return p == phStaging ? "staging" : "pass";
}

// What the invariant looks at.
struct TState {
  std::map<std::string, std::string> cards;  // number -> debit|expiry|type|group|descr
  std::vector<std::string> pools;            // name|max|cur, sorted
  std::string staged;                        // futurecard rows
  std::map<std::string, std::string> where;  // fixture file -> folder(s) holding it
  size_t inDrop = 0;
  std::vector<std::string> errorFolder;  // names, reports included
};

struct TTally {
  // Cells (one k each) where: a top-up or card went in twice; one was lost; a card has the
  // right balance but another record's other columns (applied out of order, or a refused
  // record in part); something stayed staged or in the drop folder; a file went to the wrong
  // folder.
  long tried = 0, doubled = 0, lost = 0, wrong = 0, left = 0, misfiled = 0;
};

class FaultMatrix : public ::testing::TestWithParam<TTestDb> {
 protected:
  static void SetUpTestSuite() {
    setenv("FENWOLD_ODBC_LIB", FENWOLD_ODBC_FAULTS_LIB, 1);
    // Thousands of SQLite commits: in memory, not on the shared disk.
    setenv("FENWOLD_TEST_TMPDIR", "/dev/shm", 0);
  }

  void SetUp() override {
    // A transaction a fault left open must cost a second, not the driver's minutes.
    env_ = std::make_unique<TIntakeEnv>(GetParam(), "JournalMode=WAL;Timeout=500");
    if (!env_->Ok()) GTEST_FAIL() << "no database";
    TuneSessions();
    ASSERT_TRUE(faults_.Bind()) << "the shim is not the loaded driver manager";
    env_->SetFolders();
    env_->AddCardType("STAFF", false, false);
    debit_ = env_->AddCardType("DEBIT", false, true);
    if (GetParam() == tdSqlite) {
      for (const char* when : {"INSERT", "UPDATE"}) {
        env_->Exec(std::string("CREATE TRIGGER card_debit_cap_") + when + " BEFORE " + when +
                   " ON card WHEN NEW.debit_left > 1000 BEGIN "
                   "SELECT RAISE(ABORT, 'CHECK constraint failed: card_debit_cap'); END");
      }
    } else {
      env_->Exec("ALTER TABLE card ADD CONSTRAINT card_debit_cap CHECK (debit_left <= 1000)");
    }
  }

  TIntakeEnv& Env() { return *env_; }

  // Everything back to before the files came; a fresh intake, as after a restart.
  void Reset(bool batched) {
    ReconnectIfLost(lcAskDriver);
    // Whatever a fault left open must not block the next cell; the cell itself saw it.
    Env().stagingDb.EndTrans(false);
    // psqlODBC keeps its own account of the transaction, which a ROLLBACK in SQL upsets: an
    // open one shows in the server's list instead, and the connections are made again.
    if (GetParam() != tdPostgres) {
      ExecSql(Env().mainDb, "ROLLBACK");
    } else if (Env().Scalar("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = "
                            "current_database() AND state LIKE 'idle in transaction%'") != "0") {
      Reconnect();
    }
    for (const char* table : {"futurecard", "card", "card_pool", "card_file"}) {
      Env().Exec(std::string("DELETE FROM ") + table);
    }
    Env().Exec(
        "INSERT INTO card (number, type_id, debit_left, exp_iry) VALUES "
        "(7201, " +
        std::to_string(debit_) +
        ", 10, {ts '2025-01-01 00:00:00'}), "
        "(7202, " +
        std::to_string(debit_) +
        ", 0, {ts '2025-01-01 00:00:00'}), "
        "(7203, " +
        std::to_string(debit_) + ", 900, {ts '2025-01-01 00:00:00'})");
    for (const std::string& folder : {Env().drop, Env().done, Env().errors}) {
      std::filesystem::remove_all(folder);
      std::filesystem::create_directory(folder);
    }
    intake_ = std::make_unique<TCardIntake>(*Env().log, Env().mainDb, Env().stagingDb, Env().clock);
    intake_->SetBatched(batched);
    intake_->Folders.drop = Env().drop;
    intake_->Folders.files = Env().done;
    intake_->Folders.errors = Env().errors;
  }

  void DropAll(const std::string& except = "") {
    for (const TFixtureFile& f : kFiles) {
      if (except != f.name) Env().Drop(f.name, f.text);
    }
  }

  void StageEach() {
    for (const std::string& name : FilesIn(Env().drop)) {
      intake_->ProcessCardFile(Env().drop + "/" + name);
    }
  }

  // As the service does after a loss: both connections afresh. `askDriver` also asks the
  // driver whether the connection is dead, which the service does not.
  enum TLossCheck { lcAsTheServiceDoes, lcAskDriver };
  void ReconnectIfLost(TLossCheck check) {
    TODBC& main = Env().mainDb;
    TODBC& staging = Env().stagingDb;
    bool lost = main.LostConnection() || staging.LostConnection();
    if (check == lcAskDriver) lost = lost || main.ConnectionDead() || staging.ConnectionDead();
    if (lost) Reconnect();
  }

  void Reconnect() {
    TODBC& main = Env().mainDb;
    TODBC& staging = Env().stagingDb;
    main.Disconnect();
    staging.Disconnect();
    ASSERT_TRUE(Env().Connect(main, false)) << main.LastError();
    ASSERT_TRUE(Env().Connect(staging, true)) << staging.LastError();
    TuneSessions();
  }

  // Lock waits of a second; PostgreSQL commits without waiting for the disk (a crash of the
  // server is not what is tested here).
  void TuneSessions() {
    std::vector<std::string> sqls;
    if (GetParam() == tdMariaDb) sqls = {"SET SESSION innodb_lock_wait_timeout = 1"};
    if (GetParam() == tdPostgres) {
      sqls = {"SET SESSION lock_timeout = '1s'", "SET SESSION synchronous_commit = off"};
    }
    for (TODBC* db : {&Env().mainDb, &Env().stagingDb}) {
      for (const std::string& sql : sqls) ExecSql(*db, sql);
    }
    Env().stagingDb.EndTrans(true);
  }

  // Fault-free scans and passes until the drop folder is empty and nothing is staged, or
  // five rounds.
  void RunUntilQuiet() {
    for (int round = 0; round < 5; ++round) {
      ReconnectIfLost(lcAsTheServiceDoes);
      intake_->ScanCardFiles();
      ReconnectIfLost(lcAsTheServiceDoes);
      intake_->ProcessFutureCards();
      if (FilesIn(Env().drop).empty() && Env().Scalar("SELECT COUNT(*) FROM futurecard") == "0") {
        return;
      }
    }
  }

  TState Snapshot() {
    TState s;
    for (const TRow& r :
         Env().Query("SELECT c.number, c.debit_left, c.exp_iry, c.type_id, p.name AS grp, c.descr "
                     "FROM card c LEFT JOIN card_pool p ON p.id = c.group_id ORDER BY c.number")) {
      if (r.empty()) continue;
      std::string& value = s.cards[r.at("number")];
      if (!value.empty()) value += " AND AGAIN ";
      value += r.at("debit_left") + "|" + r.at("exp_iry").substr(0, 10) + "|" + r.at("type_id") +
               "|" + r.at("grp") + "|" + r.at("descr");
    }
    for (const TRow& r :
         Env().Query("SELECT name, max_inlot, cur_inlot FROM card_pool ORDER BY name, id")) {
      if (!r.empty())
        s.pools.push_back(r.at("name") + "|" + r.at("max_inlot") + "|" + r.at("cur_inlot"));
    }
    s.staged = Env().Scalar("SELECT COUNT(*) FROM futurecard");
    s.inDrop = FilesIn(Env().drop).size();
    s.errorFolder = FilesIn(Env().errors);
    for (const TFixtureFile& f : kFiles) {
      std::string& at = s.where[f.name];
      for (const auto& [folder, label] :
           {std::pair{Env().drop, "drop"}, {Env().done, "done"}, {Env().errors, "errors"}}) {
        if (std::filesystem::exists(folder + "/" + f.name))
          at += at.empty() ? label : std::string("+") + label;
      }
      if (at.empty()) at = "nowhere";
    }
    return s;
  }

  TState FaultFree(bool batched, const std::string& except = "") {
    Reset(batched);
    DropAll(except);
    StageEach();
    intake_->ProcessFutureCards();
    RunUntilQuiet();
    return Snapshot();
  }

  // Compares a state after a fault with the fault-free one; counts what differs in `tally`
  // and returns the differences as text (empty when the invariant holds).
  std::string Judge(const TState& got, TPhase phase, int cls, bool batched, TTally& tally) {
    const TState* want = &baseline_[batched][""];
    std::string rejected;  // a good file the bad-data fault made the stager reject
    if (cls == fcBadData && phase == phStaging) {
      for (const auto& [name, at] : got.where) {
        if (at == "errors" && want->where.at(name) == "done") rejected = name;
      }
      if (!rejected.empty()) want = &baseline_[batched][rejected];
    }
    std::ostringstream out;
    bool doubled = false, lost = false, wrong = false, left = false, misfiled = false;
    int cardsShort = 0;
    for (const auto& [number, value] : want->cards) {
      auto it = got.cards.find(number);
      if (it == got.cards.end()) {
        out << "  card " << number << " missing (want " << value << ")\n";
        ++cardsShort;
      } else if (it->second != value) {
        out << "  card " << number << ": " << it->second << " (want " << value << ")\n";
        const long have = std::atol(it->second.c_str()), should = std::atol(value.c_str());
        if (have > should || it->second.find("AGAIN") != std::string::npos) {
          doubled = true;
        } else if (have == should && !(cls == fcBadData && phase == phPass)) {
          wrong = true;
        } else {
          ++cardsShort;
        }
      }
    }
    for (const auto& [number, value] : got.cards) {
      if (!want->cards.count(number)) {
        out << "  card " << number << " should not exist: " << value << "\n";
        doubled = true;
      }
    }
    // A record refused as bad data is refused: at most the one card it was for stays short.
    if (cardsShort > (cls == fcBadData && phase == phPass ? 1 : 0)) lost = true;
    if (got.pools != want->pools) {
      out << "  card_pool rows " << got.pools.size() << " (want " << want->pools.size() << ")\n";
      (got.pools.size() > want->pools.size() ? doubled : lost) = true;
    }
    if (got.staged != want->staged || got.inDrop != 0) {
      out << "  staged " << got.staged << " (want " << want->staged << "), files in drop "
          << got.inDrop << "\n";
      left = true;
    }
    for (const auto& [name, at] : got.where) {
      if (at == want->where.at(name) || (name == rejected && at == "errors")) continue;
      out << "  " << name << " in " << at << " (want " << want->where.at(name) << ")\n";
      (at == "nowhere" ? lost : at == "drop" ? left : misfiled) = true;
    }
    tally.doubled += doubled;
    tally.lost += lost;
    tally.wrong += wrong;
    tally.left += left;
    tally.misfiled += misfiled;
    return doubled || lost || wrong || left || misfiled ? out.str() : std::string();
  }

  std::unique_ptr<TIntakeEnv> env_;
  std::unique_ptr<TCardIntake> intake_;
  TFaultControl faults_;
  int debit_ = 0;
  std::map<bool, std::map<std::string, TState>> baseline_;  // batched -> file left out -> state
};

TEST_P(FaultMatrix, EveryStatementOfStagingAndPass) {
  const char* driver = SchemaName(GetParam());
  std::ostringstream table;
  table << std::left << std::setw(9) << "driver" << std::setw(9) << "mode" << std::setw(9)
        << "phase" << std::setw(13) << "class" << std::right << std::setw(7) << "tried"
        << std::setw(9) << "doubled" << std::setw(6) << "lost" << std::setw(7) << "wrong"
        << std::setw(6) << "left" << std::setw(10) << "misfiled\n";
  for (const bool batched : {true, false}) {
    const char* mode = batched ? "batched" : "per-row";
    baseline_[batched][""] = FaultFree(batched);
    for (const TFixtureFile& f : kFiles) baseline_[batched][f.name] = FaultFree(batched, f.name);
    {
      // The fixture must reach every path, or the matrix proves little.
      const TState& s = baseline_[batched][""];
      EXPECT_EQ(s.where.at("d-bad.csv"), "errors");
      EXPECT_EQ(s.where.at("b-topups.csv"), "done");
      EXPECT_EQ(s.cards.at("7201").substr(0, 3), "17|") << "two top-ups of one card";
      EXPECT_EQ(s.cards.at("7203").substr(0, 4), "900|") << "the cap refuses the top-up";
      EXPECT_EQ(s.cards.at("7101").find("|G1|") != std::string::npos, true) << s.cards.at("7101");
      EXPECT_EQ(s.pools.size(), 1u);
      EXPECT_EQ(s.staged, "0");
    }
    for (const TPhase phase : {phStaging, phPass}) {
      for (int cls = 0; cls < fcFaultClassCount; ++cls) {
        TTally tally;
        for (int k = 1;; ++k) {
          Reset(batched);
          DropAll();
          if (phase == phPass) StageEach();
          faults_.arm(k, cls);
          if (phase == phStaging) {
            StageEach();
          } else {
            intake_->ProcessFutureCards();
          }
          const bool fired = faults_.fired() != 0;
          faults_.disarm();
          if (!fired) break;  // k is past the last statement
          ++tally.tried;
          RunUntilQuiet();
          const std::string diff = Judge(Snapshot(), phase, cls, batched, tally);
          if (!diff.empty())
            ADD_FAILURE() << FaultClassName(cls) << " on " << driver << ", " << mode << ", "
                          << PhaseName(phase) << ", statement " << k << ":\n"
                          << diff;
        }
        EXPECT_GT(tally.tried, 0);
        table << std::left << std::setw(9) << driver << std::setw(9) << mode << std::setw(9)
              << PhaseName(phase) << std::setw(13) << FaultClassName(cls) << std::right
              << std::setw(7) << tally.tried << std::setw(9) << tally.doubled << std::setw(6)
              << tally.lost << std::setw(7) << tally.wrong << std::setw(6) << tally.left
              << std::setw(9) << tally.misfiled << "\n";
      }
    }
  }
  std::cout << table.str();
}

// The harness itself: each class reaches the database layer as that driver's failure, a
// server-side rollback really undoes the open work, and a lost connection stays lost until
// it is made again.
TEST_P(FaultMatrix, TheShimFailsAsTheDriverWould) {
  struct TCase {
    int cls;
    const char* state[3];  // SQLite, MariaDB, PostgreSQL
    bool tryAgain, lost, rolledBack;
  };
  const TCase cases[] = {
      {fcDeadlock, {"HY000", "40001", "40P01"}, true, false, false},
      {fcLockWait, {"HY000", "HY000", "55P03"}, true, false, false},
      {fcInterrupted, {"HY000", "70100", "57014"}, false, false, false},
      {fcRolledBack, {"HY000", "40001", "40P01"}, true, false, true},
      {fcLost, {"HY000", "08S01", "08S01"}, false, true, true},
      {fcReplyLost, {"HY000", "08S01", "08S01"}, false, true, true},
      {fcBadData, {"HY000", "22001", "22001"}, false, false, false},
  };
  const int d = static_cast<int>(GetParam());
  for (const TCase& c : cases) {
    SCOPED_TRACE(FaultClassName(c.cls));
    Reset(true);
    TODBCStatement work(Env().stagingDb);
    ASSERT_TRUE(work.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('P', 1, 0)"));
    faults_.arm(1, c.cls);
    EXPECT_FALSE(work.Exec("UPDATE card_pool SET cur_inlot = 1"));
    EXPECT_EQ(faults_.fired(), 1);
    EXPECT_NE(work.ErrorText().find(std::string("State:  ") + c.state[d]), std::string::npos)
        << work.ErrorText();
    if (c.cls != fcInterrupted) {
      EXPECT_EQ(work.TryAgain(), c.tryAgain) << work.ErrorText();
    }
    EXPECT_EQ(Env().stagingDb.LostConnection(), c.lost);
    if (c.lost) {
      EXPECT_TRUE(Env().stagingDb.ConnectionDead());
      TODBCStatement after(Env().stagingDb);
      EXPECT_FALSE(after.Exec("SELECT 1")) << "a lost connection never recovers by itself";
    }
    faults_.disarm();
    // The open work is gone (and SQLite's write lock with it) exactly when the class says so.
    EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_pool"), "0");
    ReconnectIfLost(lcAsTheServiceDoes);
    Env().stagingDb.EndTrans(true);
    EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_pool"), c.rolledBack ? "0" : "1");
  }
}

// Runs the rest of the words in a mount namespace of its own where `dir` ($2) is read-only
// ("ro"), or lies on a tiny tmpfs filled to the last block ("full": what was there is copied
// in first, and what is there at the end out to `hold` ($3), as a full disk keeps it).
const char* const kWithFolderFault = R"(
set -u
mode=$1 dir=$2 hold=$3; shift 3
case $mode in
  ro) mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir" || exit 97 ;;
  full) cp -a "$dir/." "$hold/" && mount -t tmpfs -o size=256k tmpfs "$dir" &&
        cp -a "$hold/." "$dir/" || exit 97
        dd if=/dev/zero of="$dir/.filler" bs=4k 2>/dev/null
        df "$dir" | grep -q ' 100% ' || exit 98 ;;
esac
"$@"; rc=$?
if [ "$mode" = full ]; then
  rm -f "$dir/.filler"; rm -rf "$hold"; mkdir "$hold"; cp -a "$dir/." "$hold/"
fi
exit $rc
)";

// The folders refusing what a scan does around its commit, and the process dying right after
// each commit of a scan: afterwards, scans and passes without the fault restore the invariant.
TEST_P(FaultMatrix, FileSystemFaultsAroundACommit) {
  ASSERT_TRUE(UnshareAvailable()) << "no mount namespaces (unshare -m)";
  const std::string cards = Env().dir.File("cards");
  std::filesystem::create_directory(cards);
  Env().drop = cards + "/drop";
  Env().done = cards + "/done";
  Env().errors = cards + "/errors";
  Env().SetFolders();
  const std::string registry = Env().dir.File("registry.reg");
  WriteRegistryFile(registry, Env().Args());
  const std::string logs = Env().dir.File("logs"), out = Env().dir.File("out");
  std::filesystem::create_directories(logs);
  std::filesystem::create_directories(out);

  struct TCase {
    const char* what;
    const char* mode;  // "ro", "full" or "crash"
    std::string dir;
  };
  const TCase cases[] = {
      {"the done folder refuses the move", "ro", Env().done},
      {"the error folder refuses the move", "ro", Env().errors},
      {"the drop folder refuses renames", "ro", Env().drop},
      {"the error folder is full when the report is written", "full", cards},
      {"the process ends right after a commit", "crash", ""},
  };
  for (const bool batched : {true, false}) {
    const TState want = FaultFree(batched);
    baseline_[batched][""] = want;
    TEnv env = {{"FENWOLD_REGISTRY", registry},
                {"FENWOLD_LOG_DIR", logs},
                {"FENWOLD_INTAKE", batched ? "batched" : "per-row"}};
    const auto ctl = [&](const std::string& command, const TEnv& extra = {}) {
      TEnv e = env;
      for (const auto& [k, v] : extra) e[k] = v;
      return RunProgram(FENWOLD_CTL_BINARY, {command}, e, out, std::chrono::seconds(120));
    };
    for (const TCase& c : cases) {
      for (int k = 1;; ++k) {
        SCOPED_TRACE(std::string(c.what) + (batched ? ", batched" : ", per-row") +
                     (std::string(c.mode) == "crash" ? ", commit " + std::to_string(k) : ""));
        Reset(batched);
        DropAll();
        TRunResult faulted;
        if (std::string(c.mode) == "crash") {
          faulted = ctl("scan", {{"FENWOLD_TEST_FAULT_EXIT_AFTER_COMMIT", std::to_string(k)}});
          if (faulted.status != kFaultExitStatus) break;  // k is past the last commit
        } else {
          const std::string hold = Env().dir.File("hold");
          std::filesystem::remove_all(hold);
          std::filesystem::create_directory(hold);
          TEnv e = env;
          faulted = RunProgram("/usr/bin/unshare",
                               {"-m", "--propagation", "private", "/bin/sh", "-c", kWithFolderFault,
                                "sh", c.mode, c.dir, hold, FENWOLD_CTL_BINARY, "scan"},
                               e, out, std::chrono::seconds(120));
          ASSERT_NE(faulted.status, 97) << "cannot mount: " << faulted.err;
          ASSERT_NE(faulted.status, 98) << "the tmpfs did not fill up";
          if (std::string(c.mode) == "full") {
            std::filesystem::remove_all(cards);
            std::filesystem::copy(hold, cards, std::filesystem::copy_options::recursive);
          }
        }
        {
          // The fault must have shown, or the case tests nothing.
          TTally ignored;
          const TState during = Snapshot();
          if (std::string(c.mode) == "ro") {
            EXPECT_NE(Judge(during, phStaging, -1, batched, ignored), "") << "no sign of the fault";
          } else if (std::string(c.mode) == "full") {
            EXPECT_NE(during.errorFolder, want.errorFolder) << "no sign of the fault";
          }
        }
        for (int round = 0; round < 4; ++round) {
          ctl("scan");
          ctl("pass");
          if (FilesIn(Env().drop).empty() &&
              Env().Scalar("SELECT COUNT(*) FROM futurecard") == "0") {
            break;
          }
        }
        TTally tally;
        const TState after = Snapshot();
        const std::string diff = Judge(after, phStaging, -1, batched, tally);
        // A report that could not be written is logged, and the file still goes: a note.
        std::string note;
        if (after.errorFolder != want.errorFolder) {
          note = " (error folder:";
          for (const std::string& n : after.errorFolder) note += " " + n;
          note += "; fault-free:";
          for (const std::string& n : want.errorFolder) note += " " + n;
          note += ")";
        }
        if (!diff.empty())
          ADD_FAILURE() << diff << "scan exited " << faulted.status << "\n"
                        << faulted.out << faulted.err;
        std::cout << SchemaName(GetParam()) << (batched ? " batched: " : " per-row: ") << c.what
                  << (std::string(c.mode) == "crash" ? " (commit " + std::to_string(k) + ")" : "")
                  << ": " << (diff.empty() ? "invariant holds" : "INVARIANT BROKEN") << note
                  << "\n";
        if (std::string(c.mode) != "crash") break;
      }
    }
  }
}

FW_ON_EVERY_DRIVER(FaultMatrix);

// A real server that rolls the whole transaction back when a lock wait times out (after one
// second), serializable: another session holds group G's row while ten top-ups of G's cards
// and one the card's cap refuses are scanned. Once it lets go, two passes: each top-up once.
TEST(StrictMariaDb, TopUpsOfALockedGroupAreAppliedOnce) {
  // TIntakeEnv reaches the MariaDB of FENWOLD_TEST_MARIADB_*: pointed at the strict server.
  const char* const names[] = {"HOST", "PORT", "SOCKET", "USER", "PASSWORD", "DATABASE"};
  std::map<std::string, std::string> saved;
  std::string missing;
  for (const char* n : names) {
    const std::string from = std::string("FENWOLD_TEST_MARIADB_STRICT_") + n;
    const std::string to = std::string("FENWOLD_TEST_MARIADB_") + n;
    const char* value = std::getenv(from.c_str());
    if (value == nullptr || *value == '\0') {
      missing += " " + from;
      continue;
    }
    if (const char* old = std::getenv(to.c_str())) saved[to] = old;
    setenv(to.c_str(), value, 1);
  }
  ASSERT_EQ(missing, "") << "the strict MariaDB test server is not set (scripts/test.sh starts it)";
  TIntakeEnv env(tdMariaDb);
  for (const char* n : names) {
    const std::string to = std::string("FENWOLD_TEST_MARIADB_") + n;
    if (saved.count(to))
      setenv(to.c_str(), saved[to].c_str(), 1);
    else
      unsetenv(to.c_str());
  }
  ASSERT_TRUE(env.Ok());
  ASSERT_EQ(env.Scalar("SELECT @@innodb_rollback_on_timeout"), "1") << "not the strict server";
  env.SetFolders();
  const int debit = env.AddCardType("DEBIT", false, true);
  env.Exec("ALTER TABLE card ADD CONSTRAINT card_debit_cap CHECK (debit_left <= 1000)");
  env.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('G', 100, 0)");
  const std::string group = env.Scalar("SELECT id FROM card_pool WHERE name = 'G'");
  std::string file;
  for (int i = 0; i <= 10; ++i) {
    const std::string number = std::to_string(7400 + i);
    env.Exec("INSERT INTO card (number, type_id, group_id, debit_left) VALUES (" + number + ", " +
             std::to_string(debit) + ", " + group + ", " + (i == 10 ? "900" : "0") + ")");
    file += "C," + number + ",DEBIT,Top-up,0800,20240101,1800,20261231," +
            (i == 10 ? "5000" : "1") + ",G\r\n";
  }
  env.Drop("group-g.csv", file);
  {
    TODBC holder;
    ASSERT_TRUE(env.Connect(holder, true));
    ASSERT_EQ(QueryText(holder, "SELECT id FROM card_pool WHERE name = 'G' FOR UPDATE"), group);
    env.Intake().ScanCardFiles();
    ASSERT_TRUE(holder.EndTrans(false));
  }
  env.Intake().ProcessFutureCards();
  env.Intake().ProcessFutureCards();
  std::string applied;
  for (const TRow& r : env.Query("SELECT number, debit_left FROM card ORDER BY number")) {
    applied += r.at("number") + "=" + r.at("debit_left") + " ";
  }
  EXPECT_EQ(applied,
            "7400=1 7401=1 7402=1 7403=1 7404=1 7405=1 7406=1 7407=1 7408=1 7409=1 7410=900 ");
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "0");
  EXPECT_TRUE(FileExistsAt(env.done + "/group-g.csv"));
}

}  // namespace
}  // namespace fw::test

// The fault matrix's fixture: the files, the invariant it judges a cell by, and the harness
// that runs staging and the pass on the fault shim (tests/support/odbc_faults) and compares
// the result with a fault-free run. Its suites are fault_matrix_test.cpp (statements and
// commits) and fault_matrix_fs.cpp (the folders around a commit), one binary.
#pragma once

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


inline bool UnshareAvailable() {
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
inline const char* PhaseName(TPhase p) {
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

}  // namespace fw::test

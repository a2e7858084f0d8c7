#include "tests/support/intake_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/statement.h"
#include "intake/card_schema.h"

namespace fw::test {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string TestDbName(TTestDb db) {
  return db == tdSqlite ? "SQLite" : "MariaDB";
}

TIntakeEnv::TIntakeEnv(TTestDb db, const std::string& sqliteOptions) : db_(db) {
  drop = dir.File("drop");
  done = dir.File("done");
  errors = dir.File("errors");
  for (const std::string& folder : {drop, done, errors}) std::filesystem::create_directory(folder);
  log = std::make_unique<TMessLog>(dir.File("fenwold.log"), false, true, false, false);

  const char* ddl = nullptr;
  if (db == tdSqlite) {
    args_ = {"", "", dir.File("cards.db"), "SQLite3", sqliteOptions};
    ddl = CardSchemaFor("sqlite");
  } else {
    const std::string host = Env("FENWOLD_TEST_MARIADB_HOST");
    const std::string port = Env("FENWOLD_TEST_MARIADB_PORT");
    if (host.empty() || port.empty()) {
      ADD_FAILURE() << "MariaDB test details missing: FENWOLD_TEST_MARIADB_* not set "
                       "(scripts/test.sh starts a server and sets them)";
      return;
    }
    args_ = {Env("FENWOLD_TEST_MARIADB_USER"), Env("FENWOLD_TEST_MARIADB_PASSWORD"),
             Env("FENWOLD_TEST_MARIADB_DATABASE"), "MariaDB Unicode",
             "SERVER=" + host + ";PORT=" + port};
    static std::atomic<int> counter{0};
    serverDatabase_ = "fw_intake_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    TODBC admin;
    if (!Connect(admin, false)) {
      ADD_FAILURE() << "cannot connect to MariaDB: " << admin.LastError();
      return;
    }
    TODBCStatement create(admin);
    create.Exec("DROP DATABASE IF EXISTS " + serverDatabase_);
    if (!create.Exec("CREATE DATABASE " + serverDatabase_ + " CHARACTER SET utf8mb4")) {
      ADD_FAILURE() << create.ErrorText();
      return;
    }
    args_.database = serverDatabase_;
    ddl = CardSchemaFor("mysql");
  }
  if (!Connect(mainDb, false) || !Connect(stagingDb, true)) {
    ADD_FAILURE() << "cannot connect: " << mainDb.LastError() << stagingDb.LastError();
    return;
  }
  ok_ = true;
  for (const std::string& statement : SplitSqlStatements(ddl)) Exec(statement);
  intake_ = std::make_unique<TCardIntake>(*log, mainDb, stagingDb, clock);
}

TIntakeEnv::~TIntakeEnv() {
  intake_.reset();
  stagingDb.Disconnect();
  mainDb.Disconnect();
  if (!serverDatabase_.empty()) {
    TConnectArgs saved = args_;
    args_.database = Env("FENWOLD_TEST_MARIADB_DATABASE");
    TODBC admin;
    if (Connect(admin, false)) {
      TODBCStatement drop(admin);
      drop.Exec("DROP DATABASE IF EXISTS " + serverDatabase_);
    }
    args_ = saved;
  }
}

bool TIntakeEnv::Connect(TODBC& db, bool manualCommit) const {
  return db.Connect("", args_.user, args_.password, args_.database, manualCommit, args_.driver,
                    args_.options);
}

void TIntakeEnv::Exec(const std::string& sql) {
  TODBCStatement statement(mainDb);
  if (!statement.Exec(sql) && !statement.ErrorText().empty()) {
    ADD_FAILURE() << "SQL failed: " << sql << "\n" << statement.ErrorText();
  }
}

std::vector<TRow> TIntakeEnv::Query(const std::string& sql) {
  std::vector<TRow> rows;
  TODBCStatement statement(mainDb);
  if (!statement.Exec(sql)) {
    if (!statement.ErrorText().empty()) ADD_FAILURE() << sql << "\n" << statement.ErrorText();
    return rows;
  }
  do {
    TRow row;
    for (int i = 0; i < statement.ColumnCount(); ++i) {
      row[Lower(statement.ColumnName(i))] = statement.ColumnText(i);
    }
    rows.push_back(row);
  } while (statement.Skip(skNext, 1));
  return rows;
}

std::string TIntakeEnv::Scalar(const std::string& sql) {
  TODBCStatement statement(mainDb);
  if (!statement.Exec(sql) || statement.ColumnCount() == 0) return "";
  return statement.ColumnText(0);
}

void TIntakeEnv::SetFolders(const std::string& dropFolder, const std::string& doneFolder,
                            const std::string& errorsFolder) {
  Exec("DELETE FROM settings");
  const auto quoted = [](const std::string& text) { return "'" + text + "'"; };
  Exec("INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES (" +
       quoted(dropFolder) + ", " + quoted(doneFolder) + ", " + quoted(errorsFolder) + ")");
}

std::string TIntakeEnv::Drop(const std::string& name, const std::string& contents) {
  const std::string path = drop + "/" + name;
  WriteFileBytes(path, contents);
  return path;
}

int TIntakeEnv::AddCardType(const std::string& name, bool monthly, bool debit, bool globalExpiry) {
  std::string quoted;
  for (char c : name) {
    quoted += c;
    if (c == '\'') quoted += c;
    if (c == '\\' && db_ == tdMariaDb) quoted += c;
  }
  Exec("INSERT INTO card_type (name, monthly_flg, debit_flg, global_expiry) VALUES ('" + quoted +
       "', " + std::to_string(monthly) + ", " + std::to_string(debit) + ", " +
       std::to_string(globalExpiry) + ")");
  return std::atoi(Scalar("SELECT MAX(id) FROM card_type").c_str());
}

std::string TIntakeEnv::LogText() const {
  log->AddLine("");  // flushes pending lines
  const std::string file = log->CurrentFileName();
  return file.empty() ? std::string() : ReadFileBytes(file);
}

int TIntakeEnv::LogCount(const std::string& text) const {
  std::istringstream lines(LogText());
  int count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

}  // namespace fw::test

#include "tests/support/intake_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/statement.h"
#include "intake/card_schema.h"
#include "platform/strings.h"

namespace fw::test {
namespace {}  // namespace

TIntakeEnv::TIntakeEnv(TTestDb db, const std::string& sqliteOptions,
                       const std::string& serverOptions)
    : db_(db) {
  drop = dir.File("drop");
  done = dir.File("done");
  errors = dir.File("errors");
  for (const std::string& folder : {drop, done, errors}) std::filesystem::create_directory(folder);
  log = std::make_unique<TMessLog>(dir.File("fenwold.log"), TLogOptions{.dailyFiles = true});

  std::string error;
  database_ = TTestDatabase::Create(db, error);
  if (!database_) {
    ADD_FAILURE() << error;
    return;
  }
  args_ = database_->Params();
  if (db == tdSqlite) args_.options = sqliteOptions;
  if (db != tdSqlite && !serverOptions.empty()) args_.options += ";" + serverOptions;
  if (!Connect(mainDb, false) || !Connect(stagingDb, true)) {
    ADD_FAILURE() << "cannot connect: " << mainDb.LastError() << stagingDb.LastError();
    return;
  }
  ok_ = true;
  for (const std::string& statement : SplitSqlStatements(CardSchemaFor(SchemaName(db)))) {
    Exec(statement);
  }
  intake_ = std::make_unique<TCardIntake>(*log, mainDb, stagingDb, clock);
}

TIntakeEnv::~TIntakeEnv() {
  intake_.reset();
  stagingDb.Disconnect();
  mainDb.Disconnect();
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
      row[LowerAscii(statement.ColumnName(i))] = statement.ColumnText(i);
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
  // Windows paths hold backslashes, which MariaDB reads as escapes.
  const bool mariaDb = db_ == tdMariaDb;
  const auto quoted = [mariaDb](const std::string& text) {
    std::string q = "'";
    for (char c : text) q += mariaDb && c == '\\' ? std::string("\\\\") : std::string(1, c);
    return q + "'";
  };
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

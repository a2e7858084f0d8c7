// Staging of one card file on StagingDb: all of its statements in one transaction.
#include <exception>
#include <vector>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_file.h"
#include "intake/card_intake.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

bool LostConnection(const TODBCStatement& statement) {
  return statement.LostConnection() || statement.Connection().LostConnection();
}

std::string ErrorLine(const std::string& error, const std::string& sql) {
  return "Error \"" + error + "\" in SQL: " + sql;
}

// The statement of a card row refused for its NUMBER, as the log shows it: the value quoted,
// so that the line shows what was refused without it ever being SQL.
std::string RefusedCardSql(std::vector<TColumnEntry> entries, TSql& sql) {
  for (TColumnEntry& e : entries) {
    if (e.kind == vkUnquoted) e.kind = vkQuoted;
  }
  std::string ignored;
  FillCardRow(entries, sql, ignored);
  return CardInsertSql(sql);
}

// PostgreSQL refuses every statement after a failed one until the transaction ends (psqlODBC
// guards each statement itself only in its default mode). A savepoint around each line keeps
// the rest of the file running there, so that every bad line gets its own error line.
class TLineSavepoint {
 public:
  explicit TLineSavepoint(TODBCStatement& statement)
      : statement_(statement), used_(statement.Connection().DriverKind() == dkPostgres) {}
  // False when the connection went away.
  bool Begin() { return !used_ || Run("SAVEPOINT fw_line"); }
  bool End(bool lineFailed) {
    return !used_ || Run(lineFailed ? "ROLLBACK TO SAVEPOINT fw_line" : "RELEASE SAVEPOINT fw_line");
  }

 private:
  bool Run(const char* sql) { return statement_.Exec(sql) || !LostConnection(statement_); }
  TODBCStatement& statement_;
  bool used_;
};

// How the lines of a file went.
enum TLinesResult { lrDone, lrConnectionLost };

}  // namespace

TFileOutcome TCardIntake::StageFile(const std::string& path, const TFileStamp& stamp) {
  // A statement that cannot even be allocated means the connection is unusable, which is no
  // fault of the file.
  if (!stagingDb_.Connected()) return foConnectionLost;

  std::vector<std::string> lines;
  TStringListSDF fields;
  std::vector<TColumnEntry> entries;
  TSql sql(stagingDb_.DriverKind());
  TODBCStatement statement(stagingDb_);
  TCardLineReader reader(clock_);
  TLineSavepoint savepoint(statement);
  int errors = 0;
  std::string lostText;

  const auto lost = [&](const std::string& text) {
    lostText = text;
    return lrConnectionLost;
  };
  // Runs one statement; false when the connection went away.
  const auto run = [&](const std::string& text) {
    if (statement.Exec(text)) return true;
    if (LostConnection(statement)) return false;
    ++errors;
    log_.AddLine(ErrorLine(statement.ErrorText(), text));
    return true;
  };

  TLinesResult result = lrDone;
  try {
    if (!statement.Valid()) {
      result = lost(statement.ErrorText());
    } else if (!LoadLinesFromFile(path, lines)) {
      stagingDb_.EndTrans(false);
      log_.AddLine("Failed to load " + path + ", will retry later");
      return foLoadFailed;
    }
    for (size_t i = 0; result == lrDone && i < lines.size(); ++i) {
      fields.SplitLine(lines[i]);
      const TLineKind kind = reader.Read(fields, entries);
      const int errorsBefore = errors;
      if ((kind == lkGroup || kind == lkCard) && !savepoint.Begin()) {
        result = lost(statement.ErrorText());
        break;
      }
      if (kind == lkGroup) {
        FillGroupRow(entries, sql);
        const std::string lookup = GroupLookupSql(sql, entries[0].text);
        std::string text;
        if (statement.Exec(lookup)) {
          text = GroupUpdateSql(sql, statement.FieldAsInteger("id"));
        } else if (LostConnection(statement)) {
          result = lost(statement.ErrorText());
          break;
        } else {
          text = GroupInsertSql(sql);
        }
        if (!run(text)) result = lost(statement.ErrorText());
      } else if (kind == lkCard) {
        std::string error;
        if (!FillCardRow(entries, sql, error)) {
          ++errors;
          log_.AddLine(ErrorLine(error, RefusedCardSql(entries, sql)));
        } else if (!run(CardInsertSql(sql))) {
          result = lost(statement.ErrorText());
        }
      }
      if (result == lrDone && (kind == lkGroup || kind == lkCard) &&
          !savepoint.End(errors > errorsBefore)) {
        result = lost(statement.ErrorText());
      }
    }
  } catch (const std::exception&) {
    // Nothing of this file may be committed with the work of another one.
    stagingDb_.EndTrans(false);
    log_.AddLine("Failed to load " + path + ", will retry later");
    return foLoadFailed;
  }

  if (result == lrConnectionLost) {
    stagingDb_.EndTrans(false);
    log_.AddLine("Lost the database connection while staging " + path +
                 ", will retry later: " + lostText);
    return foConnectionLost;
  }

  if (errors > 0) {
    stagingDb_.EndTrans(false);
    Dispose(path, stamp, true, false);
    return foRejected;
  }

  if (!stagingDb_.EndTrans(true)) {
    if (stagingDb_.LostConnection()) {
      // The server may have committed before the connection broke: an operator has to look,
      // staging the file again could stage its records twice.
      log_.AddLine("Commit outcome unknown for " + path +
                   " (the database connection was lost), moved to " + DtlErrorsDir +
                   " for checking: " + stagingDb_.LastError());
      Dispose(path, stamp, true, true);
      return foCommitUnknown;
    }
    stagingDb_.EndTrans(false);
    log_.AddLine("Failed to commit " + path + ": " + stagingDb_.LastError());
    Dispose(path, stamp, true, false);
    return foRejected;
  }
  log_.AddLine("Picked up " + path);
  Dispose(path, stamp, false, true);
  return foStaged;
}

}  // namespace fw

// Staging of one card file on StagingDb: all of its statements in one transaction.
#include <exception>
#include <functional>
#include <system_error>
#include <vector>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "intake/card_intake.h"
#include "intake/stage_batches.h"
#include "intake/staging_sql.h"
#include "platform/files.h"

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

// What the "Picked up" line adds about the file's text, when anything needs saying.
std::string ReadingNote(const TCardText& text) {
  std::string note;
  if (text.replaced > 0) {
    note += std::to_string(text.replaced) + " character(s) replaced";
  }
  if (text.Mixed()) {
    if (!note.empty()) note += "; ";
    note += "it mixes encodings: line " + std::to_string(text.utf8Lines.front()) +
            " is UTF-8, line " + std::to_string(text.otherLines.front()) +
            " is not; all was read as " + text.encoding;
  }
  return note.empty() ? note : " (" + note + ")";
}

// How the report names the file's encoding.
std::string EncodingNote(const TCardText& text) {
  if (text.encoding.empty()) return {};
  return text.how.empty() ? text.encoding : text.encoding + " (" + text.how + ")";
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
    if (!used_) return true;
    if (!lineFailed) return Run("RELEASE SAVEPOINT fw_line");
    if (statement_.Exec("ROLLBACK TO SAVEPOINT fw_line")) return true;
    if (LostConnection(statement_)) return false;
    // psqlODBC rolls the whole transaction back itself when the failed statement was the
    // first access of it, savepoint and all. Going on in what is left of it had every later
    // line of the file fail as "current transaction is aborted": end it, the file is
    // rejected anyway.
    statement_.Connection().EndTrans(false);
    return true;
  }

 private:
  bool Run(const char* sql) { return statement_.Exec(sql) || !LostConnection(statement_); }
  TODBCStatement& statement_;
  bool used_;
};

}  // namespace

// Card rows that follow one another with the same column list go to the database as one
// INSERT of up to this many rows (and about this many bytes): one round trip instead of many.
constexpr size_t StageBatchRows = 500;
constexpr size_t StageBatchBytes = 512 * 1024;

TFileOutcome TCardIntake::StageFile(THeldFile& file) {
  const std::string path = file.Path();
  // A statement that cannot even be allocated means the connection is unusable, which is no
  // fault of the file.
  if (!stagingDb_.Connected()) return foConnectionLost;

  std::string bytes;
  if (!file.ReadAll(bytes)) {
    log_.AddLine("Failed to load " + path + ", will retry later");
    return foLoadFailed;
  }
  // A file whose staging was committed before (the process died before its move, or the
  // commit's outcome was unknown) is moved, not staged again.
  const TLedgerKey key{ExtractFileName(path), file.Stamp(), ContentHash(bytes)};
  const TLedgerAnswer ledger = LookUpLedger(key);
  if (ledger == laLost) {
    log_.AddLine("Lost the database connection while staging " + path + ", will retry later");
    return foConnectionLost;
  }
  if (ledger == laStaged) {
    const bool moved = MoveToFolder(file, DtlFilesDir);
    log_.AddLine(moved ? "Already staged " + path + " (card_file), moved to " + DtlFilesDir +
                             " without staging it again"
                       : "Already staged " + path + " (card_file), not staged again; cannot " +
                             "move it to " + DtlFilesDir);
    return foMoveRetried;
  }

  std::vector<std::string> lines;
  TCardText text;
  TStageResult staged;
  try {
    TODBCStatement statement(stagingDb_);
    if (!statement.Valid()) {
      staged.result = lrConnectionLost;
      staged.lostText = statement.ErrorText();
    } else if (!DecodeCardFile(bytes, Encoding, text)) {
      stagingDb_.EndTrans(false);
      if (text.badSetting) {
        log_.AddLine("Failed to load " + path + ", will retry later: " + text.error);
        return foLoadFailed;
      }
      // Nothing of it was staged: its text cannot be trusted to be what its producer meant.
      log_.AddLine("Rejected " + path + ": " + text.error);
      TRejectReport report;
      report.path = path;
      report.encoding = EncodingNote(text);
      report.reason = text.error;
      Reject(file, std::move(report), false);
      return foRejected;
    } else {
      // A large file is held once, not three times: as bytes, as text and as lines.
      std::string().swap(bytes);
      lines = SplitIntoLines(text.text);
      std::string().swap(text.text);
      if (batched_) {
        try {
          staged = StageLinesBatched(lines, statement);
        } catch (const std::system_error&) {
          staged.result = lrFailed;  // no thread for the reader: line by line it is
        }
      }
      if (!batched_ || staged.result == lrFailed) {
        // Batches that could not run at all (no thread, no savepoints) logged nothing: the
        // file goes line by line from the start.
        if (batched_) stagingDb_.EndTrans(false);
        staged = StageLines(lines, statement);
      }
    }
  } catch (const std::exception&) {
    // Nothing of this file may be committed with the work of another one.
    stagingDb_.EndTrans(false);
    log_.AddLine("Failed to load " + path + ", will retry later");
    return foLoadFailed;
  }
  const TLinesResult result = staged.result;
  int errors = staged.errors;
  const std::string& lostText = staged.lostText;
  TRejectReport report;
  report.path = path;
  report.encoding = EncodingNote(text);
  report.lines = lines.size();
  report.badLines = static_cast<size_t>(errors);
  report.listed = std::move(staged.bad);

  if (result == lrStopped) {
    stagingDb_.EndTrans(false);
    log_.AddLine("Stop requested while staging " + path +
                 ": rolled back, the file stays in the drop folder");
    return foStopped;
  }
  if (result == lrConnectionLost) {
    stagingDb_.EndTrans(false);
    log_.AddLine("Lost the database connection while staging " + path +
                 ", will retry later: " + lostText);
    return foConnectionLost;
  }

  // The ledger row commits with the file's rows, or not at all.
  if (errors == 0 && ledger == laNotStaged) {
    TODBCStatement insert(stagingDb_);
    const TSql sql(stagingDb_.DriverKind());
    const std::string text = LedgerInsertSql(sql, key);
    if (!insert.Exec(text)) {
      if (LostConnection(insert) || StopRequested()) {
        stagingDb_.EndTrans(false);
        log_.AddLine("Lost the database connection while staging " + path +
                     ", will retry later: " + insert.ErrorText());
        return StopRequested() ? foStopped : foConnectionLost;
      }
      ++errors;
      log_.AddLine(ErrorLine(insert.ErrorText(), text));
      report.reason = "the card_file ledger refused its row: " + insert.ErrorText();
    }
  }

  if (errors > 0) {
    stagingDb_.EndTrans(false);
    Reject(file, std::move(report), false);
    return foRejected;
  }

  if (!stagingDb_.EndTrans(true)) {
    if (stagingDb_.LostConnection() && ledger == laNotStaged) {
      // The ledger knows whether it was committed: the next scan asks it.
      log_.AddLine("Commit outcome unknown for " + path +
                   " (the database connection was lost); it stays in the drop folder and the "
                   "card_file ledger decides at the next scan: " +
                   stagingDb_.LastError());
      return foCommitLedger;
    }
    if (stagingDb_.LostConnection()) {
      // The server may have committed before the connection broke: an operator has to look,
      // staging the file again could stage its records twice.
      log_.AddLine("Commit outcome unknown for " + path +
                   " (the database connection was lost), moved to " + DtlErrorsDir +
                   " for checking: " + stagingDb_.LastError());
      report.reason = "the database connection was lost at the commit, which may have been "
                      "made: check the staged records before putting the file back (" +
                      stagingDb_.LastError() + ")";
      Reject(file, std::move(report), true);
      return foCommitUnknown;
    }
    const std::string error = stagingDb_.LastError();
    stagingDb_.EndTrans(false);
    log_.AddLine("Failed to commit " + path + ": " + error);
    report.reason = "the commit failed: " + error;
    Reject(file, std::move(report), false);
    return foRejected;
  }
  log_.AddLine("Picked up " + path + ReadingNote(text));
  Dispose(file, false, true);
  return foStaged;
}

namespace {

// The statements of single lines, as staging line by line runs them and as a failed batch
// ends up running its bad rows, so that both write the same error lines.
class TLineStatements {
 public:
  TLineStatements(TCardIntake& intake, TODBCStatement& statement,
                  const std::vector<std::string>& lines, TSql& sql)
      : intake_(intake), statement_(statement), lines_(lines), sql_(sql), savepoint_(statement) {}

  // Each false when the connection went away or a stop cancelled a statement (`result` says
  // which); a failed statement is logged and counted, and staging goes on.
  bool Group(size_t line, const std::vector<TColumnEntry>& entries) {
    if (!savepoint_.Begin()) return Lose();
    const int before = result.errors;
    FillGroupRow(entries, sql_);
    std::string text;
    if (statement_.Exec(GroupLookupSql(sql_, entries[0].text))) {
      text = GroupUpdateSql(sql_, statement_.FieldAsInteger("id"));
    } else if (Gone()) {
      return Lose();
    } else {
      text = GroupInsertSql(sql_);
    }
    if (!Run(line, text)) return Lose();
    return savepoint_.End(result.errors > before) || Lose();
  }
  bool Card(size_t line, const std::string& text) {
    if (!savepoint_.Begin()) return Lose();
    const int before = result.errors;
    if (!Run(line, text)) return Lose();
    return savepoint_.End(result.errors > before) || Lose();
  }
  // A card row whose NUMBER can never be part of a statement.
  bool Refused(size_t line, const std::vector<TColumnEntry>& entries, const std::string& error) {
    if (!savepoint_.Begin()) return Lose();
    Bad(line, error, RefusedCardSql(entries, sql_));
    return savepoint_.End(true) || Lose();
  }
  bool Gone() const { return LostConnection(statement_) || intake_.StopRequested(); }
  bool Lose() {
    result.result = intake_.StopRequested() ? TCardIntake::lrStopped : TCardIntake::lrConnectionLost;
    result.lostText = statement_.ErrorText();
    return false;
  }

  TCardIntake::TStageResult result;

 private:
  bool Run(size_t line, const std::string& text) {
    if (statement_.Exec(text)) return true;
    if (Gone()) return false;
    Bad(line, statement_.ErrorText(), text);
    return true;
  }
  void Bad(size_t line, const std::string& error, const std::string& text) {
    ++result.errors;
    intake_.Log().AddLine(ErrorLine(error, text));
    if (result.bad.size() < kReportedLines) result.bad.push_back({line, lines_[line - 1], error});
  }

  TCardIntake& intake_;
  TODBCStatement& statement_;
  const std::vector<std::string>& lines_;
  TSql& sql_;
  TLineSavepoint savepoint_;
};

// A savepoint around a batch on every database, so that a failed batch can be undone alone
// and split, inside the file's one transaction.
class TBatchSavepoint {
 public:
  explicit TBatchSavepoint(TODBCStatement& statement) : statement_(statement) {}
  bool Begin() { return statement_.Exec("SAVEPOINT fw_batch"); }
  bool Release() { return statement_.Exec("RELEASE SAVEPOINT fw_batch"); }
  bool Undo() { return statement_.Exec("ROLLBACK TO SAVEPOINT fw_batch") && Release(); }

 private:
  TODBCStatement& statement_;
};

}  // namespace

TCardIntake::TStageResult TCardIntake::StageLines(const std::vector<std::string>& lines,
                                                  TODBCStatement& statement) {
  TStringListSDF fields;
  std::vector<TColumnEntry> entries;
  TSql sql(stagingDb_.DriverKind());
  TCardLineReader reader(clock_);
  TLineStatements run(*this, statement, lines, sql);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (StopRequested()) {
      run.result.result = lrStopped;
      break;
    }
    fields.SplitLine(lines[i]);
    const TLineKind kind = reader.Read(fields, entries);
    bool going = true;
    if (kind == lkGroup) {
      going = run.Group(i + 1, entries);
    } else if (kind == lkCard) {
      std::string error;
      going = FillCardRow(entries, sql, error) ? run.Card(i + 1, CardInsertSql(sql))
                                               : run.Refused(i + 1, entries, error);
    }
    if (!going) break;
  }
  return std::move(run.result);
}

// The same statements as StageLines, card rows gathered into INSERTs of many rows. Group rows
// end the pending batch first, so their look-ups see every row before them. Each batch runs
// inside a savepoint; one that fails is undone to it and split in halves until its bad rows
// stand alone, and those run as the single-row statements of StageLines and log the same
// lines, in file order. A transaction that the database ended itself (a deadlock on MariaDB)
// has no savepoint left to undo to: that counts as a lost connection, and the file is tried
// again. lrFailed, nothing logged, when the database has no savepoints: the caller rolls
// back and goes line by line.
TCardIntake::TStageResult TCardIntake::StageLinesBatched(const std::vector<std::string>& lines,
                                                         TODBCStatement& statement) {
  TSql sql(stagingDb_.DriverKind());
  TLineStatements run(*this, statement, lines, sql);
  TBatchSavepoint savepoint(statement);
  // The savepoint of a failed batch was gone: the database (or the driver) ended the whole
  // transaction. psqlODBC does so when the failed statement was the transaction's first access.
  bool ended = false;
  bool probed = false;  // savepoints tried once, before the first batch needs one

  // Rows [from, to) of a batch; false when staging must end here.
  const std::function<bool(const TStageItem&, size_t, size_t)> stage =
      [&](const TStageItem& item, size_t from, size_t to) {
        if (to - from == 1) return run.Card(item.lines[from], item.InsertSql(from, to));
        if (!savepoint.Begin()) return run.Lose();
        if (statement.Exec(item.InsertSql(from, to))) return savepoint.Release() || run.Lose();
        if (run.Gone()) return run.Lose();
        if (!savepoint.Undo()) {
          if (run.Gone()) return run.Lose();
          // What is left of it is aborted (PostgreSQL refuses every statement until it ends).
          stagingDb_.EndTrans(false);
          ended = true;
        }
        const size_t middle = from + (to - from) / 2;
        return stage(item, from, middle) && stage(item, middle, to);
      };

  TStageBatches batches(lines, stagingDb_.DriverKind(), clock_, StageBatchRows, StageBatchBytes);
  for (;;) {
    if (StopRequested()) {  // between batches
      run.result.result = lrStopped;
      break;
    }
    const TStageItem item = batches.Next();
    if (item.kind == TStageItem::ikEnd) break;
    bool going = true;
    if (item.kind == TStageItem::ikGroup) {
      going = run.Group(item.lines[0], item.entries);
    } else if (item.kind == TStageItem::ikRefused) {
      going = run.Refused(item.lines[0], item.entries, item.error);
    } else {
      if (!probed) {
        probed = true;
        if (!savepoint.Begin() || !savepoint.Release()) {
          // A database without savepoints goes line by line from the start, as it did before.
          if (run.Gone()) {
            run.Lose();
          } else {
            run.result.result = lrFailed;
          }
          return std::move(run.result);
        }
      }
      going = stage(item, 0, item.rows.size());
    }
    if (!going) break;
  }
  // Rows before the failed batch may be gone with it; a bad line rejects the file anyway,
  // but a file without one must not be committed in part.
  if (ended && run.result.result == lrDone && run.result.errors == 0) {
    run.result.result = lrConnectionLost;
    run.result.lostText = "the database ended the transaction after a failed batch";
  }
  return std::move(run.result);
}

}  // namespace fw

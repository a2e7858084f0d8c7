#include "intake/card_stager.h"

#include <exception>
#include <functional>
#include <optional>
#include <system_error>
#include <vector>

#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "intake/card_intake.h"
#include "intake/stage_batches.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"
#include "platform/files.h"

namespace fw {
namespace {

std::string ErrorLine(const std::string& error, const std::string& sql) {
  return logtext::kStatementError + error + "\" in SQL: " + sql;
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

}  // namespace

TCardStager::TCardStager(const TIntakeRun& run, TMessLog& log, TODBC& stagingDb,
                         TCardLedger& ledger, const TCardFolders& folders,
                         const TCardFileEncoding& encoding, TIntakeTally& tally,
                         const TClock& clock)
    : run_(run),
      log_(log),
      stagingDb_(stagingDb),
      ledger_(ledger),
      folders_(folders),
      encoding_(encoding),
      tally_(tally),
      clock_(clock) {}

void TCardStager::KeepOnly(const std::vector<std::string>& paths) {
  std::map<std::string, TRemembered> still;
  for (const std::string& path : paths) {
    const auto it = remembered_.find(path);
    if (it != remembered_.end()) still.insert(*it);
  }
  remembered_.swap(still);
}

TFileOutcome TCardStager::ProcessCardFile(const std::string& path) {
  // Held from here until it has been moved, so that a second instance cannot stage it too.
  THeldFile file;
  const THoldResult hold = file.Hold(path);
  if (hold == hrGone) return foVanished;  // taken by another instance since the listing
  if (hold == hrBusy) {
    log_.AddLine("Failed to exclusively open " + path + ", will retry later.");
    return foHeld;
  }
  const auto it = remembered_.find(path);
  if (it != remembered_.end()) {
    if (it->second.stamp == file.Stamp()) return RetryMove(file);
    remembered_.erase(it);  // another file now bears that name
  }
  return StageFile(file);
}

TFileOutcome TCardStager::RetryMove(THeldFile& file) {
  const std::string& path = file.Path();
  const bool toErrors = remembered_[path].toErrors;
  const std::string& destination = toErrors ? folders_.errors : folders_.files;
  if (destination.empty()) return foMoveRetried;  // stays, as it would have after staging
  if (MoveToFolder(file, destination)) {
    remembered_.erase(path);
    log_.AddLine("Moved " + path + " to " + destination + " (staged earlier, not staged again)");
  } else {
    log_.AddLine(logtext::kCannot + ("move file: " + path) + " to " + destination);
  }
  return foMoveRetried;
}

void TCardStager::Dispose(THeldFile& file, bool toErrors, bool mayBeCommitted) {
  const std::string path = file.Path();
  const TFileStamp stamp = file.Stamp();
  const std::string& destination = toErrors ? folders_.errors : folders_.files;
  const bool moved = MoveToFolder(file, destination);
  if (!moved && !MovedByAnother(path, stamp, destination)) {
    log_.AddLine(logtext::kCannot + ("move file: " + path) + " to " + destination);
  } else if (!moved) {
    // Seen through a share, the other server moves a file it finds staged in the ledger
    // between our commit and our move.
    log_.AddLine("Left the drop folder before it was moved: " + path +
                 " (moved by another server)");
    return;
  }
  if (mayBeCommitted && (!moved || destination.empty())) {
    remembered_[path] = TRemembered{stamp, toErrors};
  }
}

void TCardStager::Reject(THeldFile& file, TRejectReport report, bool mayBeCommitted) {
  tally_.linesRejected += report.badLines;
  if (!folders_.errors.empty()) {
    report.host = HostName();
    report.when = clock_.Now();
    report.size = file.Stamp().size;
    if (!WriteRejectReport(folders_.errors, report)) {
      log_.AddLine(logtext::kCannot +
                   ("write the report " +
                    JoinPath(folders_.errors, RejectReportName(ExtractFileName(file.Path())))));
    }
  }
  Dispose(file, true, mayBeCommitted);
}

bool MoveToFolder(THeldFile& file, const std::string& folder) {
  if (folder.empty()) return true;
  return file.MoveTo(JoinPath(folder, ExtractFileName(file.Path())));
}

bool MovedByAnother(const std::string& path, const TFileStamp& stamp, const std::string& folder) {
  TFileStamp now;
  if (GetFileStamp(JoinPath(folder, ExtractFileName(path)), now) && now == stamp) return true;
  return !GetFileStamp(path, now) || !(now == stamp);
}

TFileOutcome TCardStager::MoveAlreadyStaged(THeldFile& file) {
  const std::string path = file.Path();
  const TFileStamp stamp = file.Stamp();
  if (MoveToFolder(file, folders_.files)) {
    log_.AddLine("Already staged " + path + " (card_file), moved to " + folders_.files +
                 " without staging it again");
    return foMoveRetried;
  }
  log_.AddLine(MovedByAnother(path, stamp, folders_.files)
                   ? "Already staged " + path + " (card_file) by another server, which moved it"
                   : "Already staged " + path + " (card_file), not staged again; cannot " +
                         "move it to " + folders_.files);
  return foMoveRetried;
}

TCardStager::TClaim TCardStager::Claim(const TCardLedger::TKey& key, TODBCStatement& statement,
                                       std::string& error) {
  const TSql sql(statement.Connection().DriverKind());
  if (statement.Exec(ledger_.InsertSql(sql, key))) return clClaimed;
  error = statement.ErrorText();
  return LostConnection(statement) || StopRequested() ? clLost : clRefused;
}

// Decided by what the ledger holds, not by the error: a duplicate key once the other
// transaction committed, a lock wait that ran out or a cluster's certification failure all
// come down to "staged by another server" or "not yet".
TFileOutcome TCardStager::AfterRefusedClaim(THeldFile& file, const TCardLedger::TKey& key,
                                            const std::string& error) {
  const std::string path = file.Path();
  switch (ledger_.LookUp(key)) {
    case TCardLedger::laStaged:
      return MoveAlreadyStaged(file);
    case TCardLedger::laLost:
      log_.AddLine(logtext::kLostDatabase + (" while staging " + path) + ", will retry later");
      return foConnectionLost;
    default:
      log_.AddLine(logtext::kFailedToLoad + path + ", will retry later: " + error);
      return foLoadFailed;
  }
}

bool TCardStager::Settled(const std::string& path, const TFileStamp& stamp) const {
  if (!listed_) return true;
  const auto it = listed_->find(path);
  TFileStamp now;
  return it != listed_->end() && it->second == stamp && GetFileStamp(path, now) && now == stamp;
}

bool MoveToFolder(const std::string& path, const std::string& folder) {
  if (folder.empty()) return true;
  return MoveFileReplacing(path, JoinPath(folder, ExtractFileName(path)));
}

// Card rows that follow one another with the same column list go to the database as one
// INSERT of up to this many rows (and about this many bytes): one round trip instead of many.
constexpr size_t StageBatchRows = 500;
constexpr size_t StageBatchBytes = 512 * 1024;

TFileOutcome TCardStager::StageFile(THeldFile& file) {
  const std::string path = file.Path();
  // A statement that cannot even be allocated means the connection is unusable, which is no
  // fault of the file.
  if (!stagingDb_.Connected()) return foConnectionLost;

  std::string bytes;
  if (!file.ReadAll(bytes)) {
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later");
    return foLoadFailed;
  }
  if (!Settled(path, file.Stamp())) {
    log_.AddLine("Still being written: " + path + ", left for the next scan");
    return foHeld;
  }
  // A file whose staging was committed before (the process died before its move, or the
  // commit's outcome was unknown) is moved, not staged again.
  const TCardLedger::TKey key{ExtractFileName(path), file.Stamp(), ContentHash(bytes)};
  const TCardLedger::TAnswer ledger = ledger_.LookUp(key);
  if (ledger == TCardLedger::laLost) {
    log_.AddLine(logtext::kLostDatabase + (" while staging " + path) + ", will retry later");
    return foConnectionLost;
  }
  if (ledger == TCardLedger::laStaged) return MoveAlreadyStaged(file);

  std::vector<std::string> lines;
  TCardText text;
  TStageResult staged;
  // All of the file commits together or nothing of it does: every way out of here but the
  // commit below rolls back.
  std::optional<TTransaction> transaction(std::in_place, stagingDb_);
  TClaim claim = clClaimed;  // nothing to claim without the ledger
  std::string claimError;
  try {
    TODBCStatement statement(stagingDb_);
    // The claim is the transaction's first write: a second server staging the same file
    // waits on its key until this transaction ends, whichever host it reads the file on.
    const auto claimFirst = [&] {
      if (ledger == TCardLedger::laNotStaged) claim = Claim(key, statement, claimError);
      if (claim == clLost) {
        staged = {StopRequested() ? lrStopped : lrConnectionLost, 0, claimError, {}};
      }
      return claim == clClaimed;
    };
    if (!statement.Valid()) {
      staged.result = lrConnectionLost;
      staged.lostText = statement.ErrorText();
    } else if (!DecodeCardFile(bytes, encoding_, text)) {
      transaction->Rollback();
      if (text.badSetting) {
        log_.AddLine(logtext::kFailedToLoad + path + ", will retry later: " + text.error);
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
      if (run_.batched && claimFirst()) {
        try {
          staged = StageLinesBatched(lines, statement, *transaction);
        } catch (const std::system_error&) {
          staged.result = lrFailed;  // no thread for the reader: line by line it is
        }
      }
      if (claim == clClaimed && (!run_.batched || staged.result == lrFailed)) {
        // Batches that could not run at all (no thread, no savepoints) logged nothing: the
        // file goes line by line from the start, in a transaction of its own (claimed anew).
        if (run_.batched) transaction.emplace(stagingDb_);
        if (claimFirst()) staged = StageLines(lines, statement, *transaction);
      }
    }
  } catch (const std::exception&) {
    // Nothing of this file may be committed with the work of another one.
    transaction->Rollback();
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later");
    return foLoadFailed;
  }
  const TLinesResult result = staged.result;
  const int errors = staged.errors;
  const std::string& lostText = staged.lostText;
  TRejectReport report;
  report.path = path;
  report.encoding = EncodingNote(text);
  report.lines = lines.size();
  report.badLines = static_cast<size_t>(errors);
  report.listed = std::move(staged.bad);

  if (claim == clRefused) {
    transaction->Rollback();
    return AfterRefusedClaim(file, key, claimError);
  }
  if (result == lrStopped) {
    transaction->Rollback();
    log_.AddLine("Stop requested while staging " + path +
                 ": rolled back, the file stays in the drop folder");
    return foStopped;
  }
  if (result == lrConnectionLost) {
    transaction->Rollback();
    log_.AddLine(logtext::kLostDatabase + (" while staging " + path) +
                 ", will retry later: " + lostText);
    return foConnectionLost;
  }
  if (result == lrTryAgain) {
    // A deadlock or the like: no fault of the file, and the database is there.
    transaction->Rollback();
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later: " + lostText);
    return foLoadFailed;
  }

  if (errors > 0) {
    transaction->Rollback();
    // On a cluster another node's commit of the same file aborts ours at whatever statement
    // it reaches: that is no fault of the file.
    if (ledger == TCardLedger::laNotStaged && ledger_.LookUp(key) == TCardLedger::laStaged) {
      return MoveAlreadyStaged(file);
    }
    Reject(file, std::move(report), false);
    return foRejected;
  }

  if (!transaction->Commit()) {
    if (transaction->Lost() && ledger == TCardLedger::laNotStaged) {
      // The ledger knows whether it was committed: the next scan asks it.
      log_.AddLine(logtext::kCommitOutcomeUnknown + path +
                   " (the database connection was lost); it stays in the drop folder and the "
                   "card_file ledger decides at the next scan: " +
                   transaction->ErrorText());
      return foCommitLedger;
    }
    if (transaction->Lost()) {
      // The server may have committed before the connection broke: an operator has to look,
      // staging the file again could stage its records twice.
      log_.AddLine(logtext::kCommitOutcomeUnknown + path +
                   " (the database connection was lost), moved to " + folders_.errors +
                   " for checking: " + transaction->ErrorText());
      report.reason =
          "the database connection was lost at the commit, which may have been "
          "made: check the staged records before putting the file back (" +
          transaction->ErrorText() + ")";
      Reject(file, std::move(report), true);
      return foCommitUnknown;
    }
    const std::string error = transaction->ErrorText();
    transaction->Rollback();
    if (ledger == TCardLedger::laNotStaged) {
      // A cluster refuses a commit that conflicts with another node's (the same file staged
      // there first, or rows another server wrote): the ledger tells which.
      if (ledger_.LookUp(key) == TCardLedger::laStaged) return MoveAlreadyStaged(file);
      log_.AddLine(logtext::kFailedToCommit + path + ", will retry later: " + error);
      return foLoadFailed;
    }
    log_.AddLine(logtext::kFailedToCommit + path + ": " + error);
    report.reason = "the commit failed: " + error;
    Reject(file, std::move(report), false);
    return foRejected;
  }
  log_.AddLine(logtext::kPickedUp + path + ReadingNote(text));
  Dispose(file, false, true);
  return foStaged;
}

// The statements of single lines, as staging line by line runs them and as a failed batch
// ends up running its bad rows, so that both write the same error lines.
class TCardStager::TLines {
 public:
  TLines(TCardStager& stager, TODBCStatement& statement, TTransaction& transaction,
         const std::vector<std::string>& lines, TSql& sql)
      : stager_(stager),
        statement_(statement),
        transaction_(transaction),
        lines_(lines),
        sql_(sql),
        // PostgreSQL refuses every statement after a failed one until the transaction ends
        // (psqlODBC guards each statement itself only in its default mode). A savepoint around
        // each line keeps the rest of the file running there, so that every bad line gets its
        // own error line.
        lineSavepoints_(statement.Connection().DriverKind() == dkPostgres) {}

  // Each false when staging must end: the connection went away, a stop cancelled a
  // statement, or the database asks for the work again (`result` says which). A failed
  // statement is logged and counted, and staging goes on.
  bool Group(size_t line, const std::vector<TColumnEntry>& entries) {
    std::optional<TSavepoint> savepoint;
    if (!BeginLine(savepoint)) return Lose();
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
    return Run(line, text) && EndLine(savepoint, result.errors > before);
  }
  bool Card(size_t line, const std::string& text) {
    std::optional<TSavepoint> savepoint;
    if (!BeginLine(savepoint)) return Lose();
    const int before = result.errors;
    return Run(line, text) && EndLine(savepoint, result.errors > before);
  }
  // A card row whose NUMBER can never be part of a statement.
  bool Refused(size_t line, const std::vector<TColumnEntry>& entries, const std::string& error) {
    Bad(line, error, RefusedCardSql(entries, sql_));
    return true;
  }
  bool Gone() const { return LostConnection(statement_) || stager_.StopRequested(); }
  bool Lose() {
    result.result = stager_.StopRequested() ? lrStopped : lrConnectionLost;
    result.lostText = statement_.ErrorText();
    return false;
  }
  // After a failed statement (before anything else runs on it): false when staging must end.
  bool Failed(size_t line, const std::string& text) {
    if (Gone()) return Lose();
    if (statement_.TryAgain()) {
      result.result = lrTryAgain;
      result.lostText = statement_.ErrorText();
      return false;
    }
    Bad(line, statement_.ErrorText(), text);
    return true;
  }
  // The database ended the transaction by itself after a failure (psqlODBC does when the
  // failed statement was the transaction's first access, savepoint and all): what is left of
  // it refuses every statement, so a fresh one takes the rest of the file under the same
  // guard.
  void Renew() {
    transaction_.Renew();
    ended = true;
  }

  TStageResult result;
  bool ended = false;

 private:
  bool BeginLine(std::optional<TSavepoint>& savepoint) {
    if (!lineSavepoints_) return true;
    savepoint.emplace(transaction_, "fw_line");
    return savepoint->Began() || !LostConnection(statement_);
  }
  bool EndLine(std::optional<TSavepoint>& savepoint, bool lineFailed) {
    if (!savepoint) return true;
    if (!lineFailed) return savepoint->Release() || !LostConnection(statement_) || Lose();
    if (savepoint->RollBack()) return true;
    if (LostConnection(statement_)) return Lose();
    Renew();
    return true;
  }
  bool Run(size_t line, const std::string& text) {
    return statement_.Exec(text) || Failed(line, text);
  }
  void Bad(size_t line, const std::string& error, const std::string& text) {
    ++result.errors;
    stager_.log_.AddLine(ErrorLine(error, text));
    if (result.bad.size() < kReportedLines) result.bad.push_back({line, lines_[line - 1], error});
  }

  TCardStager& stager_;
  TODBCStatement& statement_;
  TTransaction& transaction_;
  const std::vector<std::string>& lines_;
  TSql& sql_;
  bool lineSavepoints_;
};

TCardStager::TStageResult TCardStager::StageLines(const std::vector<std::string>& lines,
                                                  TODBCStatement& statement,
                                                  TTransaction& transaction) {
  TStringListSDF fields;
  std::vector<TColumnEntry> entries;
  TSql sql(stagingDb_.DriverKind());
  TCardLineReader reader(clock_);
  TLines run(*this, statement, transaction, lines, sql);
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
// lines, in file order. lrFailed, nothing logged, when the database has no savepoints: the
// caller rolls back and goes line by line.
TCardStager::TStageResult TCardStager::StageLinesBatched(const std::vector<std::string>& lines,
                                                         TODBCStatement& statement,
                                                         TTransaction& transaction) {
  TSql sql(stagingDb_.DriverKind());
  TLines run(*this, statement, transaction, lines, sql);
  bool probed = false;  // savepoints tried once, before the first batch needs one

  // Rows [from, to) of a batch; false when staging must end here.
  const std::function<bool(const TStageItem&, size_t, size_t)> stage = [&](const TStageItem& item,
                                                                           size_t from, size_t to) {
    if (to - from == 1) return run.Card(item.lines[from], item.InsertSql(from, to));
    TSavepoint savepoint(transaction, "fw_batch");
    if (!savepoint.Began()) return run.Lose();
    if (statement.Exec(item.InsertSql(from, to))) return savepoint.Release() || run.Lose();
    if (run.Gone()) return run.Lose();
    if (statement.TryAgain()) {
      run.result.result = lrTryAgain;
      run.result.lostText = statement.ErrorText();
      return false;
    }
    if (!savepoint.RollBack()) {
      if (run.Gone()) return run.Lose();
      run.Renew();
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
        TSavepoint probe(transaction, "fw_batch");
        if (!probe.Began() || !probe.Release()) {
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
  // Rows before the failed batch may be gone with the transaction the database ended; a bad
  // line rejects the file anyway, but a file without one must not be committed in part.
  if (run.ended && run.result.result == lrDone && run.result.errors == 0) {
    run.result.result = lrTryAgain;
    run.result.lostText = "the database ended the transaction after a failed batch";
  }
  return std::move(run.result);
}

}  // namespace fw

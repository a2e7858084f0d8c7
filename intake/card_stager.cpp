#include "intake/card_stager.h"

#include <exception>
#include <optional>
#include <system_error>
#include <vector>

#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_encoding.h"
#include "intake/card_file.h"
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

}  // namespace

TCardStager::TCardStager(const TIntakeRun& run, TMessLog& log, TODBC& stagingDb,
                         TCardLedger& ledger, const TCardFolders& folders,
                         const TCardFileEncoding& encoding, const TClock& clock)
    : run_(run),
      log_(log),
      stagingDb_(stagingDb),
      ledger_(ledger),
      folders_(folders),
      encoding_(encoding),
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
  if (!moved) log_.AddLine(logtext::kCannot + ("move file: " + path) + " to " + destination);
  if (mayBeCommitted && (!moved || destination.empty())) {
    remembered_[path] = TRemembered{stamp, toErrors};
  }
}

bool MoveToFolder(THeldFile& file, const std::string& folder) {
  if (folder.empty()) return true;
  return file.MoveTo(JoinPath(folder, ExtractFileName(file.Path())));
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
  // A file whose staging was committed before (the process died before its move, or the
  // commit's outcome was unknown) is moved, not staged again.
  const TCardLedger::TKey key{ExtractFileName(path), file.Stamp(), ContentHash(bytes)};
  const TCardLedger::TAnswer ledger = ledger_.LookUp(key);
  if (ledger == TCardLedger::laLost) {
    log_.AddLine(logtext::kLostDatabase + (" while staging " + path) + ", will retry later");
    return foConnectionLost;
  }
  if (ledger == TCardLedger::laStaged) {
    const bool moved = MoveToFolder(file, folders_.files);
    log_.AddLine(moved ? "Already staged " + path + " (card_file), moved to " + folders_.files +
                             " without staging it again"
                       : "Already staged " + path + " (card_file), not staged again; cannot " +
                             "move it to " + folders_.files);
    return foMoveRetried;
  }

  std::vector<std::string> lines;
  TCardText text;
  TStageResult staged;
  // All of the file commits together or nothing of it does: every way out of here but the
  // commit below rolls back.
  std::optional<TTransaction> transaction(std::in_place, stagingDb_);
  try {
    TODBCStatement statement(stagingDb_);
    if (!statement.Valid()) {
      staged = {lrConnectionLost, 0, statement.ErrorText()};
    } else if (!DecodeCardFile(bytes, encoding_, text)) {
      transaction->Rollback();
      if (text.badSetting) {
        log_.AddLine(logtext::kFailedToLoad + path + ", will retry later: " + text.error);
        return foLoadFailed;
      }
      // Nothing of it was staged: its text cannot be trusted to be what its producer meant.
      log_.AddLine("Rejected " + path + ": " + text.error);
      Dispose(file, true, false);
      return foRejected;
    } else {
      // A large file is held once, not three times: as bytes, as text and as lines.
      std::string().swap(bytes);
      lines = SplitIntoLines(text.text);
      std::string().swap(text.text);
      if (run_.batched) {
        try {
          staged = StageLinesBatched(lines, statement);
        } catch (const std::system_error&) {
          staged.result = lrFailed;  // no thread for the reader: line by line it is
        }
      }
      if (!run_.batched || staged.result == lrFailed) {
        // The batches stop at the first failure and log nothing: the file goes again line by
        // line from the start, in a transaction of its own, which logs every bad line with
        // its own statement.
        if (run_.batched) transaction.emplace(stagingDb_);
        staged = StageLines(lines, statement, *transaction);
      }
    }
  } catch (const std::exception&) {
    // Nothing of this file may be committed with the work of another one.
    transaction->Rollback();
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later");
    return foLoadFailed;
  }
  const TLinesResult result = staged.result;
  int errors = staged.errors;
  const std::string& lostText = staged.lostText;

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

  // The ledger row commits with the file's rows, or not at all.
  if (errors == 0 && ledger == TCardLedger::laNotStaged) {
    TODBCStatement insert(stagingDb_);
    const TSql sql(stagingDb_.DriverKind());
    const std::string text = ledger_.InsertSql(sql, key);
    if (!insert.Exec(text)) {
      if (LostConnection(insert) || StopRequested()) {
        transaction->Rollback();
        log_.AddLine(logtext::kLostDatabase + (" while staging " + path) +
                     ", will retry later: " + insert.ErrorText());
        return StopRequested() ? foStopped : foConnectionLost;
      }
      ++errors;
      log_.AddLine(ErrorLine(insert.ErrorText(), text));
    }
  }

  if (errors > 0) {
    transaction->Rollback();
    Dispose(file, true, false);
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
      Dispose(file, true, true);
      return foCommitUnknown;
    }
    const std::string error = transaction->ErrorText();
    transaction->Rollback();
    log_.AddLine(logtext::kFailedToCommit + path + ": " + error);
    Dispose(file, true, false);
    return foRejected;
  }
  log_.AddLine(logtext::kPickedUp + path + ReadingNote(text));
  Dispose(file, false, true);
  return foStaged;
}

TCardStager::TStageResult TCardStager::StageLines(const std::vector<std::string>& lines,
                                                  TODBCStatement& statement,
                                                  TTransaction& transaction) {
  TStringListSDF fields;
  std::vector<TColumnEntry> entries;
  TSql sql(stagingDb_.DriverKind());
  TCardLineReader reader(clock_);
  TStageResult staged;

  // A statement cancelled by a stop fails like a lost one: neither is the file's fault.
  const auto lost = [&](const std::string& text) {
    staged.result = StopRequested() ? lrStopped : lrConnectionLost;
    staged.lostText = text;
  };
  // Runs one statement; false when the connection went away (or a stop cancelled it).
  const auto run = [&](const std::string& text) {
    if (statement.Exec(text)) return true;
    if (LostConnection(statement) || StopRequested()) return false;
    ++staged.errors;
    log_.AddLine(ErrorLine(statement.ErrorText(), text));
    return true;
  };

  // PostgreSQL refuses every statement after a failed one until the transaction ends
  // (psqlODBC guards each statement itself only in its default mode). A savepoint around each
  // line keeps the rest of the file running there, so that every bad line gets its own error
  // line.
  const bool lineSavepoints = stagingDb_.DriverKind() == dkPostgres;
  for (size_t i = 0; staged.result == lrDone && i < lines.size(); ++i) {
    if (StopRequested()) {
      staged.result = lrStopped;
      break;
    }
    fields.SplitLine(lines[i]);
    const TLineKind kind = reader.Read(fields, entries);
    const int errorsBefore = staged.errors;
    std::optional<TSavepoint> savepoint;
    if (lineSavepoints && (kind == lkGroup || kind == lkCard)) {
      savepoint.emplace(transaction, "fw_line");
      if (!savepoint->Began() && LostConnection(statement)) {
        lost(statement.ErrorText());
        break;
      }
    }
    if (kind == lkGroup) {
      FillGroupRow(entries, sql);
      std::string text;
      if (statement.Exec(GroupLookupSql(sql, entries[0].text))) {
        text = GroupUpdateSql(sql, statement.FieldAsInteger("id"));
      } else if (LostConnection(statement) || StopRequested()) {
        lost(statement.ErrorText());
        break;
      } else {
        text = GroupInsertSql(sql);
      }
      if (!run(text)) lost(statement.ErrorText());
    } else if (kind == lkCard) {
      std::string error;
      if (!FillCardRow(entries, sql, error)) {
        ++staged.errors;
        log_.AddLine(ErrorLine(error, RefusedCardSql(entries, sql)));
      } else if (!run(CardInsertSql(sql))) {
        lost(statement.ErrorText());
      }
    }
    if (staged.result == lrDone && savepoint) {
      const bool ended =
          staged.errors > errorsBefore ? savepoint->RollBack() : savepoint->Release();
      if (!ended && LostConnection(statement)) lost(statement.ErrorText());
    }
  }
  return staged;
}

// The same statements as StageLines, card rows gathered into INSERTs of many rows. Group rows
// end the pending batch first, so their look-ups see every row before them. Stops at the
// first failure (lrFailed) without logging: the caller rolls back and goes line by line.
TCardStager::TStageResult TCardStager::StageLinesBatched(const std::vector<std::string>& lines,
                                                         TODBCStatement& statement) {
  TSql sql(stagingDb_.DriverKind());
  TStageResult staged;
  const auto fail = [&] {
    if (StopRequested()) {
      staged.result = lrStopped;
    } else if (LostConnection(statement)) {
      staged.result = lrConnectionLost;
      staged.lostText = statement.ErrorText();
    } else {
      staged.result = lrFailed;
    }
    return staged;
  };

  TStageBatches batches(lines, stagingDb_.DriverKind(), clock_, StageBatchRows, StageBatchBytes);
  for (;;) {
    if (StopRequested()) return fail();  // between batches
    TStageItem item = batches.Next();
    switch (item.kind) {
      case TStageItem::ikEnd:
        return staged;
      case TStageItem::ikRefused:
        staged.result = lrFailed;
        return staged;
      case TStageItem::ikCards:
        if (!statement.Exec(CardRowsInsertSql(item.columns, item.values))) {
          return fail();
        }
        break;
      case TStageItem::ikGroup: {
        FillGroupRow(item.entries, sql);
        std::string text;
        if (statement.Exec(GroupLookupSql(sql, item.entries[0].text))) {
          text = GroupUpdateSql(sql, statement.FieldAsInteger("id"));
        } else if (LostConnection(statement)) {
          return fail();
        } else {
          text = GroupInsertSql(sql);
        }
        if (!statement.Exec(text)) return fail();
        break;
      }
    }
  }
}

}  // namespace fw

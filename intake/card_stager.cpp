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
#include "intake/card_intake.h"
#include "intake/card_sql.h"
#include "intake/card_stream.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"
#include "platform/files.h"

namespace fw {
namespace {
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

TCardStager::TClaim TCardStager::Claim(const TCardLedger::TKey& key, TODBCStatement& statement,
                                       std::string& error) {
  const TSql sql(statement.Connection().DriverKind());
  const TBoundSql insert = ledger_.InsertSql(sql, key);
  const TDbStatus status = statement.Exec(insert);
  if (status.Ok()) return clClaimed;
  if (status.Code() == dcLost || status.Code() == dcStopped || LostConnection(statement) ||
      StopRequested()) {
    error = status.Text();
    return clLost;
  }
  error = FailureText(status, insert);
  return clRefused;
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


TFileOutcome TCardStager::StageFile(THeldFile& file) {
  const std::string path = file.Path();
  // A statement that cannot even be allocated means the connection is unusable, which is no
  // fault of the file.
  if (!stagingDb_.Connected()) return foConnectionLost;

  // A first pass over the file hashes it and decides its encoding, which needs all of it
  // anyway; so the ledger row, keyed by that hash, is still the staging's first write, and a
  // second pass decodes and stages it piece by piece. The file stays held throughout.
  TCardSurvey survey;
  if (!SurveyCardFile(file, encoding_, survey)) {
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later");
    return foLoadFailed;
  }
  if (!Settled(path, file.Stamp())) {
    log_.AddLine("Still being written: " + path + ", left for the next scan");
    return foHeld;
  }
  // A file whose staging was committed before (the process died before its move, or the
  // commit's outcome was unknown) is moved, not staged again.
  const TCardLedger::TKey key{ExtractFileName(path), file.Stamp(), survey.hash};
  std::string ledgerFailure;
  const TCardLedger::TAnswer ledger = ledger_.LookUp(key, &ledgerFailure);
  if (ledger == TCardLedger::laLost) {
    log_.AddLine(logtext::kLostDatabase + (" while staging " + path) + ", will retry later");
    return foConnectionLost;
  }
  if (ledger == TCardLedger::laFailed) {
    // Unknown whether it was staged before: staging it now might stage it twice.
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later: " + ledgerFailure);
    return foLoadFailed;
  }
  if (ledger == TCardLedger::laStaged) return MoveAlreadyStaged(file);

  TCardText& text = survey.text;
  TStageResult staged;
  // All of the file commits together or nothing of it does: every way out of here but the
  // commit below rolls back.
  std::optional<TTransaction> transaction(std::in_place, stagingDb_, upSavepoint);
  TClaim claim = clClaimed;  // nothing to claim without the ledger
  std::string claimError;
  // Without its transaction the lines would commit one by one.
  const auto begun = [&] {
    const TDbStatus& status = transaction->Status();
    if (status.Ok()) return true;
    const bool lost = status.Code() == dcLost || stagingDb_.LostConnection();
    staged = {StopRequested() ? lrStopped : lost ? lrConnectionLost : lrTryAgain, 0,
              lost ? status.Text() : FailureText(status, "BEGIN"), {}};
    return false;
  };
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
    } else if (!begun()) {
      // `staged` says why; nothing of the file runs outside its transaction
    } else if (!text.error.empty()) {
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
      Reject(file, std::move(report), csRolledBack);
      return foRejected;
    } else {
      // Each staging reads the file from its first line.
      const auto stage = [&](bool batched) {
        TCardFileLines lines(file, survey);
        staged = batched ? StageLinesBatched(lines, statement, *transaction)
                         : StageLines(lines, statement, *transaction);
        text.replaced = lines.Replaced();
        if (lines.Failed() && staged.result != lrConnectionLost && staged.result != lrStopped) {
          // Only part of it was read: nothing of it may commit, and it is no fault of the file.
          staged.result = lrTryAgain;
          staged.lostText = "the file could not be read to its end";
        }
      };
      if (run_.batched && claimFirst()) {
        try {
          stage(true);
        } catch (const std::system_error&) {
          staged.result = lrFailed;  // no thread for the reader: line by line it is
        }
      }
      if (claim == clClaimed && (!run_.batched || staged.result == lrFailed)) {
        // Batches that could not run at all (no thread, no savepoints) logged nothing: the
        // file goes line by line from the start, in a transaction of its own (claimed anew).
        if (run_.batched) transaction.emplace(stagingDb_, upSavepoint);
        if (begun() && claimFirst()) stage(false);
      }
    }
  } catch (const std::exception&) {
    // Nothing of this file may be committed with the work of another one.
    transaction->Rollback();
    log_.AddLine(logtext::kFailedToLoad + path + ", will retry later");
    return foLoadFailed;
  }
  TConclusion conclusion{key, ledger, claim, claimError, ReadingNote(text), {}};
  TRejectReport& report = conclusion.report;
  report.path = path;
  report.encoding = EncodingNote(text);
  report.lines = survey.lines;
  report.badLines = static_cast<size_t>(staged.errors);
  report.listed = std::move(staged.bad);
  return Conclude(file, *transaction, staged, std::move(conclusion));
}


}  // namespace fw

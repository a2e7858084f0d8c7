// TCardStager: one card file into staged rows (card_pool, futurecard) on StagingDb, all of it
// in one transaction with its ledger row, then into the done or the error folder. A file is
// held from its open until its move, so a second instance cannot stage it too. Files whose
// staging was (or may have been) committed but that could not be moved are remembered for the
// life of the process and only moved later; after a crash the ledger tells them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "intake/card_folders.h"
#include "intake/card_ledger.h"
#include "intake/intake_run.h"
#include "intake/reject_report.h"
#include "log/messlog.h"
#include "platform/folder.h"

namespace fw {

class TODBCStatement;
class TTransaction;
struct TIntakeTally;

enum TFileOutcome {
  foStaged,          // committed; moved to the done folder (or left, the folder being empty)
  foRejected,        // rolled back; moved to the error folder
  foHeld,            // another process holds it, or it is still being written; retried later
  foLoadFailed,      // unreadable, or a deadlock; rolled back; retried at the next scan
  foConnectionLost,  // the database went away; rolled back; the file stays in the drop folder
  foCommitUnknown,   // the commit failed with a lost connection; moved to the error folder
  foCommitLedger,    // the same, with the ledger to tell at the next scan; the file stays
  foMoveRetried,     // staged earlier (remembered, or found in the ledger); only moved
  foStopped,         // a stop was requested; rolled back; the file stays in the drop folder
  foVanished,        // gone between the listing and the open (another instance took it)
};

class TCardStager {
 public:
  // `folders` and `encoding` are read at each file: their owner may change them between.
  // Rejected lines are added to `tally`.
  TCardStager(const TIntakeRun& run, TMessLog& log, TODBC& stagingDb, TCardLedger& ledger,
              const TCardFolders& folders, const TCardFileEncoding& encoding, TIntakeTally& tally,
              const TClock& clock);

  TFileOutcome ProcessCardFile(const std::string& path);
  // Forgets remembered files that are no longer among `paths` (the drop folder's listing).
  void KeepOnly(const std::vector<std::string>& paths);
  // With a settle time: each listed file as the scan saw it before its wait. A file is staged
  // only while it is still that version when read; otherwise it stays for the next scan.
  // nullopt (no settle time) stages whatever is read.
  void ExpectListed(std::optional<std::map<std::string, TFileStamp>> listed) {
    listed_ = std::move(listed);
  }

 private:
  // lrTryAgain: the database asks for the work again (a deadlock); lostText says why.
  enum TLinesResult { lrDone, lrConnectionLost, lrFailed, lrStopped, lrTryAgain };
  struct TStageResult {
    TLinesResult result = lrDone;
    int errors = 0;
    std::string lostText;
    std::vector<TRejectedLine> bad;  // the first kReportedLines bad lines, for the report
  };
  class TLines;
  struct TRemembered {
    TFileStamp stamp;  // the version whose staging was committed (or may have been)
    bool toErrors;     // its destination is the error folder (commit outcome unknown)
  };

  bool StopRequested() const { return run_.StopRequested(); }
  // Writes the file's ledger row under its unique key, as the first write of the staging
  // transaction; waits while another transaction holds that key. clRefused when the key is
  // taken or the write failed (the caller rolls back and asks the ledger which), clLost when
  // the connection went away or a stop cancelled the wait.
  enum TClaim { clClaimed, clRefused, clLost };
  TClaim Claim(const TCardLedger::TKey& key, TODBCStatement& statement, std::string& error);
  // After a refused claim, rolled back: the file is moved when another server staged it, and
  // otherwise left for the next scan.
  TFileOutcome AfterRefusedClaim(THeldFile& file, const TCardLedger::TKey& key,
                                 const std::string& error);
  // Moves a file the ledger knows as staged, with one "Already staged" line.
  TFileOutcome MoveAlreadyStaged(THeldFile& file);
  bool Settled(const std::string& path, const TFileStamp& stamp) const;
  TFileOutcome RetryMove(THeldFile& file);
  TFileOutcome StageFile(THeldFile& file);
  // What the end of a staging needs to know beside the lines' result.
  struct TConclusion {
    TCardLedger::TKey key;
    TCardLedger::TAnswer ledger;  // as asked before the staging
    TClaim claim;
    std::string claimError;
    std::string readingNote;  // for the "Picked up" line
    TRejectReport report;     // of a rejected file, its lines counted
  };
  // Rolls back or commits `transaction` and decides what becomes of the file.
  TFileOutcome Conclude(THeldFile& file, TTransaction& transaction, const TStageResult& staged,
                        TConclusion c);
  // After a COMMIT that failed: whether it may have been made decides where the file goes.
  TFileOutcome AfterFailedCommit(THeldFile& file, TTransaction& transaction, TConclusion c);
  TStageResult StageLines(TLineSource& lines, TODBCStatement& statement,
                          TTransaction& transaction);
  TStageResult StageLinesBatched(TLineSource& lines, TODBCStatement& statement,
                                 TTransaction& transaction);
  enum TDestination { dsDone, dsErrors };
  // Whether the staging of a file being disposed of was (or may have been) committed.
  enum TCommitState { csRolledBack, csMaybeCommitted };
  // Moves a file whose staging has ended; a file whose staging was (or may have been) committed
  // and that stays in the drop folder is remembered so that it is never staged twice.
  void Dispose(THeldFile& file, TDestination to, TCommitState committed);
  // Writes the report beside the file's place in the error folder, then moves it there.
  void Reject(THeldFile& file, TRejectReport report, TCommitState committed);

  const TIntakeRun& run_;
  TMessLog& log_;
  TODBC& stagingDb_;
  TCardLedger& ledger_;
  const TCardFolders& folders_;
  const TCardFileEncoding& encoding_;
  TIntakeTally& tally_;
  const TClock& clock_;
  std::map<std::string, TRemembered> remembered_;
  std::optional<std::map<std::string, TFileStamp>> listed_;
};

// Moves a file into a folder (replacing a file of the same name); true without moving when the
// folder is empty.
bool MoveToFolder(const std::string& path, const std::string& folder);
bool MoveToFolder(THeldFile& file, const std::string& folder);
// After a failed move: the version `stamp` of the file has left `path`, or is in `folder`
// already. Seen through a share, another server moves it between our look and our move, and
// the share's caches may still show it in the drop folder for a moment.
bool MovedByAnother(const std::string& path, const TFileStamp& stamp, const std::string& folder);

}  // namespace fw

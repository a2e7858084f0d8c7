// TCardIntake: card intake on the two connections, as the service and the tools run it. A scan
// reads the folders from table settings, stages every card file of the drop folder
// (TCardStager, with the ledger) and, when it listed any, runs the future-card pass
// (TFuturePass). Everything reports to the log; nothing here raises.
#pragma once

#include <atomic>
#include <string>

#include "db/odbc.h"
#include "intake/card_encoding.h"
#include "intake/card_folders.h"
#include "intake/card_ledger.h"
#include "intake/card_stager.h"
#include "intake/future_pass.h"
#include "intake/intake_run.h"
#include "log/messlog.h"
#include "platform/datetime.h"

namespace fw {

// What intake has done since it was created, for the service's status line.
struct TIntakeTally {
  unsigned long pickedUp = 0;
  unsigned long rejected = 0;
  unsigned long held = 0;           // found held by their writer, left for a later scan
  unsigned long alreadyStaged = 0;  // staged earlier (ledger, or remembered), only moved
  unsigned long linesRejected = 0;  // bad lines of rejected files
  unsigned long applied = 0;
  long long waiting = -1;  // staged records left by the last complete pass; -1 before one
  TDateTime lastPickup = 0;
};

class TCardIntake {
 public:
  TCardIntake(TMessLog& log, TODBC& mainDb, TODBC& stagingDb, const TClock& clock = SystemClock());
  TCardIntake(const TCardIntake&) = delete;
  TCardIntake& operator=(const TCardIntake&) = delete;

  void SetStopFlag(const std::atomic<bool>* stop) { run_.stop = stop; }
  bool StopRequested() const { return run_.StopRequested(); }
  // A pass is owed when one was cut off (lost connection, stop) or a scan listed files and
  // its pass did not run to the end; the service runs it at the next tick that reaches the
  // database.
  bool PassOwed() const { return passOwed_; }
  void OwePass() { passOwed_ = true; }

  // Reads settings (first row) into Folders, stages every card file of the drop folder and,
  // when it listed any, runs the future-card pass. False when a connection was lost (or is not
  // there): files not reached stay in the drop folder.
  bool ScanCardFiles();
  TFileOutcome ProcessCardFile(const std::string& path) { return stager_.ProcessCardFile(path); }
  TPassOutcome ProcessFutureCards();
  TApplyOutcome ApplyFutureCard(TODBCStatement& staged) { return pass_.ApplyFutureCard(staged); }
  bool PruneLedger(int days) { return ledger_.Prune(days); }

  // Batches (the default) or one statement per line and per record; the outcome is the same.
  void SetBatched(bool batched) { run_.batched = batched; }
  bool Batched() const { return run_.batched; }

  TCardFolders Folders;        // as the last scan read them
  TCardFileEncoding Encoding;  // how card files are decoded
  TIntakeTally Tally;

 private:
  TMessLog& log_;
  TODBC& mainDb_;
  TODBC& stagingDb_;
  const TClock& clock_;
  TIntakeRun run_;
  TCardLedger ledger_;
  TCardStager stager_;
  TFuturePass pass_;
  bool passOwed_ = false;
};

}  // namespace fw

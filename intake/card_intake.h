// TCardIntake: card intake on the two connections, as the service and the tools run it. A scan
// reads the folders from table settings, stages every card file of the drop folder
// (TCardStager, with the ledger) and, when it listed any, runs the future-card pass
// (TFuturePass). Everything reports to the log; nothing here raises.
//
// Threads: the thread that owns both connections (db/odbc.h), for every call; the stop flag
// may be set from any thread, and the running scan or pass ends at its next file or record.
// Ownership: the caller owns the log, the connections and the clock, which outlive intake.
// Folders, Encoding and Tally are intake's own, but the stager and the pass keep references
// to them: read them between calls, and set Encoding before the first scan.
// Failures: a lost connection ends the scan (false) or the pass (poConnectionLost) and leaves
// what was not reached as it was: files in the drop folder, records staged, the pass owed.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
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
  // The earliest start among the records that pass left waiting for it (their card exists);
  // 0 when none waits. A pass is due then.
  TDateTime nextStart = 0;
  TDateTime lastPickup = 0;
};

// Whether a scan that listed card files runs the future-card pass itself (a scan run once, as
// the tools run it) or leaves the pass owed to the caller's schedule (the service's tick).
enum TScanPass { spRunsPass, spLeavesPassOwed };

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
  // when it listed any, runs the future-card pass (or leaves it owed, as SetScanPass says).
  // False when a connection was lost (or is not there): files not reached stay in the drop
  // folder.
  bool ScanCardFiles();
  void SetScanPass(TScanPass mode) { scanPass_ = mode; }
  // Card files the last scan listed (0 when it did not get to the folder).
  size_t Listed() const { return listed_; }
  // Called by the scan with the drop folder once settings are read, before it is listed.
  std::function<void(const std::string& dropFolder)> OnDropFolder;
  TFileOutcome ProcessCardFile(const std::string& path) { return stager_.ProcessCardFile(path); }
  TPassOutcome ProcessFutureCards();
  TApplyOutcome ApplyFutureCard(TODBCStatement& staged) { return pass_.ApplyFutureCard(staged); }
  bool PruneLedger(int days) { return ledger_.Prune(days); }
  TCardLedger& Ledger() { return ledger_; }

  // A file whose producer may still be writing it from another host (a network share, where
  // the exclusive-open test sees no remote writer): a scan that lists card files waits this
  // long and stages only those whose size and modification time stood still meanwhile and
  // until they were read; the others stay for the next scan. 0 (the default) does not wait.
  void SetSettleMs(int ms) { settleMs_ = ms > 0 ? ms : 0; }

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
  TScanPass scanPass_ = spRunsPass;
  int settleMs_ = 0;
  bool WaitToSettle() const;  // false when a stop came meanwhile
  size_t listed_ = 0;
};

}  // namespace fw

// Card intake on the two connections: staging card files (ProcessCardFile), the future-card
// pass (ProcessFutureCards) and the application of one staged record (ApplyFutureCard).
// Everything reports to the log; nothing here raises.
#pragma once

#include <memory>
#include <string>

#include "db/odbc.h"
#include "log/messlog.h"
#include "platform/datetime.h"

namespace fw {

class TODBCStatement;

enum TFileOutcome {
  foStaged,          // committed; moved to DtlFilesDir (or left, the destination being empty)
  foRejected,        // rolled back; moved to DtlErrorsDir
  foHeld,            // another process holds it; retried at the next scan
  foLoadFailed,      // could not be read or staged; rolled back; retried at the next scan
  foConnectionLost,  // the database went away; rolled back; the file stays in the drop folder
  foCommitUnknown,   // the commit failed with a lost connection; moved to DtlErrorsDir
  foMoveRetried,     // staged earlier in this process; only its move was tried again
};

enum TPassOutcome {
  poDone,            // walked to the end (or nothing staged)
  poConnectionLost,  // stopped at a lost connection
};

class TCardIntake {
 public:
  TCardIntake(TMessLog& log, TODBC& mainDb, TODBC& stagingDb, const TClock& clock = SystemClock());
  ~TCardIntake();
  TCardIntake(const TCardIntake&) = delete;
  TCardIntake& operator=(const TCardIntake&) = delete;

  // Reads settings (first row) into the three folders, stages every card file of AuditsDir
  // and, when it listed any, runs the future-card pass. False when a connection was lost.
  bool ScanCardFiles();
  TFileOutcome ProcessCardFile(const std::string& path);
  TPassOutcome ProcessFutureCards();

  std::string AuditsDir;
  std::string DtlErrorsDir;
  std::string DtlFilesDir;

  TMessLog& Log() { return log_; }
  TODBC& MainDb() { return mainDb_; }
  TODBC& StagingDb() { return stagingDb_; }
  const TClock& Clock() const { return clock_; }

 private:
  struct TStagedFiles;  // files committed but not yet moved, for the life of the process

  TMessLog& log_;
  TODBC& mainDb_;
  TODBC& stagingDb_;
  const TClock& clock_;
  std::unique_ptr<TStagedFiles> staged_;
};

// Moves a file into a folder (replacing a file of the same name); true without moving when the
// folder is empty.
bool MoveToFolder(const std::string& path, const std::string& folder);

// (month of second - month of first + 12) mod 12 == 1.
bool IsNextMonth(TDateTime first, TDateTime second);

}  // namespace fw

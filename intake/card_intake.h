// Card intake on the two connections: staging card files (ProcessCardFile), the future-card
// pass (ProcessFutureCards) and the application of one staged record (ApplyFutureCard).
// Everything reports to the log; nothing here raises.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/odbc.h"
#include "log/messlog.h"
#include "platform/datetime.h"
#include "platform/folder.h"

namespace fw {

class TODBCStatement;
class TSql;

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

enum TApplyOutcome {
  aoSkipped,         // the command does not begin with A or C: the record stays
  aoDone,            // applied (or refused with a log line) and deleted
  aoKept,            // its delete failed: card and delete were rolled back together
  aoConnectionLost,  // the pass must stop
};

// One row of futurecard, read column by column in table order, each column once (a driver
// that reads through SQLGetData may not give a column twice).
struct TStagedRecord {
  std::string id;
  std::string command;
  std::string number;
  std::string cardType;
  std::string descriptive[14];  // DESCR .. MISC_4, in DescriptiveColumns order
  TDateTime startDt = 0;
  TDateTime expiry = 0;
  int32_t addValue = 0;
  std::string groupName;
};
TStagedRecord ReadStagedRecord(TODBCStatement& staged);

// How many ids the future-card pass reads at a time.
constexpr long long PassRangeIds = 1000;

// The 14 descriptive columns, in the order in which they are written to `card`.
extern const char* const DescriptiveColumns[14];

// What intake has done since it was created, for the service's status line.
struct TIntakeTally {
  unsigned long pickedUp = 0;
  unsigned long rejected = 0;
  unsigned long applied = 0;
  long long waiting = -1;  // staged records left by the last complete pass; -1 before one
  TDateTime lastPickup = 0;
};

class TCardIntake {
 public:
  TCardIntake(TMessLog& log, TODBC& mainDb, TODBC& stagingDb, const TClock& clock = SystemClock());
  ~TCardIntake();
  TCardIntake(const TCardIntake&) = delete;
  TCardIntake& operator=(const TCardIntake&) = delete;

  // Reads settings (first row) into the three folders, stages every card file of AuditsDir
  // and, when it listed any, runs the future-card pass. False when a connection was lost (or
  // is not there): files not reached stay in the drop folder.
  bool ScanCardFiles();
  TFileOutcome ProcessCardFile(const std::string& path);
  TPassOutcome ProcessFutureCards();
  // Applies the staged record on which `staged` (the pass's cursor) stands.
  TApplyOutcome ApplyFutureCard(TODBCStatement& staged);

  std::string AuditsDir;
  std::string DtlErrorsDir;
  std::string DtlFilesDir;
  TIntakeTally Tally;

  TMessLog& Log() { return log_; }
  TODBC& MainDb() { return mainDb_; }
  TODBC& StagingDb() { return stagingDb_; }
  const TClock& Clock() const { return clock_; }

 private:
  struct TStagedFiles;  // files committed but not yet moved, for the life of the process

  TFileOutcome RetryMove(const std::string& path);
  TFileOutcome StageFile(const std::string& path, const TFileStamp& stamp);
  // Moves a file whose staging has ended; a file whose staging was (or may have been) committed
  // and that stays in the drop folder is remembered so that it is never staged twice.
  void Dispose(const std::string& path, const TFileStamp& stamp, bool toErrors,
               bool mayBeCommitted);

  struct TWriteResult {
    bool ran = false;
    bool lost = false;
  };
  // `work` is any statement on MainDb other than the pass's cursor.
  TApplyOutcome ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work);
  TWriteResult WriteCard(const std::string& number, bool exists, TSql& sql,
                         const TStagedRecord& staged, bool inactive, TODBCStatement& writer);

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

// The expiry rules of a staged record (`addValue` as staged). The monthly rule is false when
// `addValue` leads to month 0 (23, 35, ..., or -1 and 65535 as an unsigned 16-bit number).
bool MonthlyExpiry(TDateTime now, int32_t addValue, TDateTime& expiry);
TDateTime DayExpiry(TDateTime now, TDateTime stagedExpiry, bool exists, TDateTime cardExpiry,
                    int32_t addValue);

// A card number as it may stand in a statement: plain integers as they are, an empty number as
// null, anything else as a quoted literal so that it can never change the statement.
std::string NumberLiteral(const TSql& sql, const std::string& number);

}  // namespace fw

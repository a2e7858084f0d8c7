// Card intake on the two connections: staging card files (ProcessCardFile), the future-card
// pass (ProcessFutureCards) and the application of one staged record (ApplyFutureCard).
// Everything reports to the log; nothing here raises.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "intake/card_encoding.h"
#include "intake/reject_report.h"
#include "log/messlog.h"
#include "platform/datetime.h"
#include "platform/folder.h"

namespace fw {

class TODBCStatement;
class TSql;
class TCardLookups;
class TPassCache;
struct TCardPlan;

enum TFileOutcome {
  foStaged,          // committed; moved to DtlFilesDir (or left, the destination being empty)
  foRejected,        // rolled back; moved to DtlErrorsDir
  foHeld,            // another process holds it; retried at the next scan
  foLoadFailed,      // could not be read or staged; rolled back; retried at the next scan
  foConnectionLost,  // the database went away; rolled back; the file stays in the drop folder
  foCommitUnknown,   // the commit failed with a lost connection; moved to DtlErrorsDir
  foCommitLedger,    // the same, with the ledger to tell at the next scan; the file stays
  foMoveRetried,     // staged earlier (remembered, or found in the ledger); only moved
  foStopped,         // a stop was requested; rolled back; the file stays in the drop folder
  foVanished,        // gone between the listing and the open (another instance took it)
};

enum TPassOutcome {
  poDone,            // walked to the end (or nothing staged)
  poConnectionLost,  // stopped at a lost connection
  poStopped,         // a stop was requested; the rest stays staged
};

enum TApplyOutcome {
  aoSkipped,         // the command does not begin with A or C: the record stays
  aoDone,            // applied (or refused with a log line) and deleted
  aoKept,            // its delete failed: card and delete were rolled back together
  aoTaken,           // another pass (a second instance) claimed it first
  aoConnectionLost,  // the pass must stop
  aoStopped,         // a stop was requested: rolled back, the record stays
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

// FENWOLD_INTAKE=per-row makes staging and the pass run one statement per line and per record,
// as the batched paths do when a batch fails; anything else (or unset) batches.
bool IntakeBatchedFromEnv();

// The 14 descriptive columns, in the order in which they are written to `card`.
extern const char* const DescriptiveColumns[14];

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
  ~TCardIntake();
  TCardIntake(const TCardIntake&) = delete;
  TCardIntake& operator=(const TCardIntake&) = delete;

  // The flag that a stop request sets; staging checks it between rows and the pass between
  // records, and both end there leaving only whole transactions behind.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
  bool StopRequested() const { return stop_ != nullptr && stop_->load(); }
  // A pass is owed when one was cut off (lost connection, stop) or a scan listed files and
  // its pass did not run to the end; the service runs it at the next tick that reaches the
  // database.
  bool PassOwed() const { return passOwed_; }
  void OwePass() { passOwed_ = true; }

  // Reads settings (first row) into the three folders, stages every card file of AuditsDir
  // and, when it listed any, runs the future-card pass. False when a connection was lost (or
  // is not there): files not reached stay in the drop folder.
  bool ScanCardFiles();
  TFileOutcome ProcessCardFile(const std::string& path);
  TPassOutcome ProcessFutureCards();
  // Applies the staged record on which `staged` (the pass's cursor) stands.
  TApplyOutcome ApplyFutureCard(TODBCStatement& staged);

  // Batches (the default) or one statement per line and per record; the outcome is the same.
  void SetBatched(bool batched) { batched_ = batched; }
  bool Batched() const { return batched_; }

  std::string AuditsDir;
  std::string DtlErrorsDir;
  std::string DtlFilesDir;
  TCardFileEncoding Encoding;  // how card files are decoded
  TIntakeTally Tally;

  // Removes ledger rows staged more than `days` days ago; false when the table is missing or
  // the delete failed.
  bool PruneLedger(int days);

  // How the lines of one file went (the file's statements, before its commit).
  enum TLinesResult { lrDone, lrConnectionLost, lrFailed, lrStopped };
  struct TStageResult {
    TLinesResult result = lrDone;
    int errors = 0;
    std::string lostText;
    std::vector<TRejectedLine> bad;  // the first kReportedLines bad lines, for the report
  };

  TMessLog& Log() { return log_; }
  TODBC& MainDb() { return mainDb_; }
  TODBC& StagingDb() { return stagingDb_; }
  const TClock& Clock() const { return clock_; }

 private:
  struct TStagedFiles;  // files committed but not yet moved, for the life of the process

  TPassOutcome WalkFutureCards();
  TFileOutcome RetryMove(THeldFile& file);
  TFileOutcome StageFile(THeldFile& file);
  TStageResult StageLines(const std::vector<std::string>& lines, TODBCStatement& statement);
  TStageResult StageLinesBatched(const std::vector<std::string>& lines,
                                 TODBCStatement& statement);
  // Moves a file whose staging has ended; a file whose staging was (or may have been) committed
  // and that stays in the drop folder is remembered so that it is never staged twice.
  void Dispose(THeldFile& file, bool toErrors, bool mayBeCommitted);
  // Writes the report beside the file's place in the error folder, then moves it there.
  void Reject(THeldFile& file, TRejectReport report, bool mayBeCommitted);

  // The ledger of staged files (table card_file), when the database has it.
  enum TLedgerAnswer { laAbsent, laStaged, laNotStaged, laLost };
  struct TLedgerKey {
    std::string name;
    TFileStamp stamp;
    std::string hash;
  };
  TLedgerAnswer LookUpLedger(const TLedgerKey& key);
  std::string LedgerInsertSql(const TSql& sql, const TLedgerKey& key) const;

  // `work` is any statement on MainDb other than the pass's cursor.
  TApplyOutcome ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work);
  // Deletes the staged record inside the open transaction: aoDone when this pass deleted it.
  TApplyOutcome Claim(const TStagedRecord& staged, TODBCStatement& work);
  // Everything ApplyStagedRecord decides before it writes: aoSkipped, aoDone or
  // aoConnectionLost (a lookup lost the connection).
  TApplyOutcome PlanStagedRecord(const TStagedRecord& staged, TCardLookups& lookups,
                                 TCardPlan& plan);
  // Adds what it applied to Tally and what stays staged to `left`.
  TPassOutcome ApplyRangeBatched(const std::vector<TStagedRecord>& records, TODBCStatement& work,
                                 TPassCache& cache, long long& left);
  enum TSegmentResult { srCommitted, srFailed, srConnectionLost };
  TSegmentResult RunSegment(const std::vector<TCardPlan>& plans,
                            const std::vector<const TStagedRecord*>& batch, TODBCStatement& work,
                            TPassCache& cache);
  // The cards of the batch are as its plans found them (read again, locked where possible).
  bool CardsUnchanged(const std::vector<const TStagedRecord*>& batch, TODBCStatement& work,
                      TPassCache& cache);

  bool batched_;
  TMessLog& log_;
  TODBC& mainDb_;
  TODBC& stagingDb_;
  const TClock& clock_;
  std::unique_ptr<TStagedFiles> staged_;
  const std::atomic<bool>* stop_ = nullptr;
  bool passOwed_ = false;
  bool recordsKept_ = false;  // this pass left records to a later one (a lock in the way)
  bool lockingReads_ = true;  // SELECT ... FOR UPDATE works on MainDb's database
};

// Moves a file into a folder (replacing a file of the same name); true without moving when the
// folder is empty.
bool MoveToFolder(const std::string& path, const std::string& folder);
bool MoveToFolder(THeldFile& file, const std::string& folder);

// 64-bit FNV-1a of a file's bytes as 16 hex digits: what tells two contents apart in the
// ledger, beside name, size and modification time.
std::string ContentHash(const std::string& bytes);

// What the ledger of staged files (table card_file) says of a file.
enum TLedgerState { lsNoLedger, lsStaged, lsNotStaged, lsLost };
TLedgerState LedgerState(TODBC& db, const std::string& name, const TFileStamp& stamp,
                         const std::string& hash);

// Registry value: days a ledger row is kept.
constexpr int kDefaultLedgerRetentionDays = 90;

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

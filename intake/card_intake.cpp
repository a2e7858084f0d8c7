// The scan of the drop folder and the disposal of staged files.
#include "intake/card_intake.h"

#include <cstdlib>
#include <map>

#include "db/statement.h"
#include "platform/files.h"

namespace fw {

struct TCardIntake::TStagedFiles {
  struct TEntry {
    TFileStamp stamp;  // the version whose staging was committed (or may have been)
    bool toErrors;     // its destination is DtlErrorsDir (commit outcome unknown)
  };
  std::map<std::string, TEntry> files;
};

TCardIntake::TCardIntake(TMessLog& log, TODBC& mainDb, TODBC& stagingDb, const TClock& clock)
    : batched_(IntakeBatchedFromEnv()),
      log_(log),
      mainDb_(mainDb),
      stagingDb_(stagingDb),
      clock_(clock),
      staged_(std::make_unique<TStagedFiles>()) {}

TCardIntake::~TCardIntake() = default;

bool IntakeBatchedFromEnv() {
  const char* mode = std::getenv("FENWOLD_INTAKE");
  return mode == nullptr || std::string(mode) != "per-row";
}

bool TCardIntake::ScanCardFiles() {
  if (!mainDb_.Connected()) return false;
  {
    TODBCStatement settings(mainDb_, true);
    // A failed read leaves the three folders empty, as an empty table does.
    const bool read = settings.Exec("SELECT * FROM settings");
    AuditsDir = settings.FieldAsString("audits_dir");
    DtlFilesDir = settings.FieldAsString("dtlfiles_dir");
    DtlErrorsDir = settings.FieldAsString("dtlerrors_dir");
    if (!read && (settings.LostConnection() || mainDb_.LostConnection())) return false;
  }
  if (AuditsDir.empty()) return true;

  const std::vector<std::string> names = ListCardFiles(AuditsDir);
  // Forget remembered files that are gone from the drop folder.
  std::map<std::string, TStagedFiles::TEntry> still;
  bool connected = stagingDb_.Connected();
  for (const std::string& name : names) {
    const std::string path = JoinPath(AuditsDir, name);
    const auto it = staged_->files.find(path);
    if (it != staged_->files.end()) still.insert(*it);
  }
  staged_->files.swap(still);

  if (!names.empty()) passOwed_ = true;
  for (const std::string& name : names) {
    if (!connected || StopRequested()) break;
    const TFileOutcome outcome = ProcessCardFile(JoinPath(AuditsDir, name));
    if (outcome == foStaged) {
      ++Tally.pickedUp;
      Tally.lastPickup = clock_.Now();
    }
    if (outcome == foRejected || outcome == foCommitUnknown) ++Tally.rejected;
    if (outcome == foHeld) ++Tally.held;
    if (outcome == foMoveRetried) ++Tally.alreadyStaged;
    if (outcome == foConnectionLost || outcome == foCommitUnknown || outcome == foCommitLedger) {
      connected = false;
    }
  }
  if (StopRequested()) return connected;
  // Records staged before a lost connection still get their pass; it stops by itself when
  // the main connection is gone too.
  if (!names.empty() && ProcessFutureCards() == poConnectionLost) return false;
  return connected;
}

TFileOutcome TCardIntake::ProcessCardFile(const std::string& path) {
  // Held from here until it has been moved, so that a second instance cannot stage it too.
  THeldFile file;
  const THoldResult hold = file.Hold(path);
  if (hold == hrGone) return foVanished;  // taken by another instance since the listing
  if (hold == hrBusy) {
    log_.AddLine("Failed to exclusively open " + path + ", will retry later.");
    return foHeld;
  }
  const auto it = staged_->files.find(path);
  if (it != staged_->files.end()) {
    if (it->second.stamp == file.Stamp()) return RetryMove(file);
    staged_->files.erase(it);  // another file now bears that name
  }
  return StageFile(file);
}

TFileOutcome TCardIntake::RetryMove(THeldFile& file) {
  const std::string& path = file.Path();
  const bool toErrors = staged_->files[path].toErrors;
  const std::string& destination = toErrors ? DtlErrorsDir : DtlFilesDir;
  if (destination.empty()) return foMoveRetried;  // stays, as it would have after staging
  if (MoveToFolder(file, destination)) {
    staged_->files.erase(path);
    log_.AddLine("Moved " + path + " to " + destination + " (staged earlier, not staged again)");
  } else {
    log_.AddLine("Cannot move file: " + path + " to " + destination);
  }
  return foMoveRetried;
}

void TCardIntake::Dispose(THeldFile& file, bool toErrors, bool mayBeCommitted) {
  const std::string path = file.Path();
  const TFileStamp stamp = file.Stamp();
  const std::string& destination = toErrors ? DtlErrorsDir : DtlFilesDir;
  const bool moved = MoveToFolder(file, destination);
  if (!moved) log_.AddLine("Cannot move file: " + path + " to " + destination);
  if (mayBeCommitted && (!moved || destination.empty())) {
    staged_->files[path] = TStagedFiles::TEntry{stamp, toErrors};
  }
}

void TCardIntake::Reject(THeldFile& file, TRejectReport report, bool mayBeCommitted) {
  Tally.linesRejected += report.badLines;
  if (!DtlErrorsDir.empty()) {
    report.host = HostName();
    report.when = clock_.Now();
    report.size = file.Stamp().size;
    if (!WriteRejectReport(DtlErrorsDir, report)) {
      log_.AddLine("Cannot write the report " +
                   JoinPath(DtlErrorsDir, RejectReportName(ExtractFileName(file.Path()))));
    }
  }
  Dispose(file, true, mayBeCommitted);
}

bool MoveToFolder(THeldFile& file, const std::string& folder) {
  if (folder.empty()) return true;
  return file.MoveTo(JoinPath(folder, ExtractFileName(file.Path())));
}

bool MoveToFolder(const std::string& path, const std::string& folder) {
  if (folder.empty()) return true;
  return MoveFileReplacing(path, JoinPath(folder, ExtractFileName(path)));
}

}  // namespace fw

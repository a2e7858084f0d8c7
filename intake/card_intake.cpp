// The scan of the drop folder and the disposal of staged files.
#include "intake/card_intake.h"

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
    : log_(log),
      mainDb_(mainDb),
      stagingDb_(stagingDb),
      clock_(clock),
      staged_(std::make_unique<TStagedFiles>()) {}

TCardIntake::~TCardIntake() = default;

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

  for (const std::string& name : names) {
    if (!connected) break;
    const TFileOutcome outcome = ProcessCardFile(JoinPath(AuditsDir, name));
    if (outcome == foStaged) {
      ++Tally.pickedUp;
      Tally.lastPickup = clock_.Now();
    }
    if (outcome == foRejected || outcome == foCommitUnknown) ++Tally.rejected;
    if (outcome == foConnectionLost || outcome == foCommitUnknown) connected = false;
  }
  // Records staged before a lost connection still get their pass; it stops by itself when
  // the main connection is gone too.
  if (!names.empty() && ProcessFutureCards() == poConnectionLost) return false;
  return connected;
}

TFileOutcome TCardIntake::ProcessCardFile(const std::string& path) {
  TFileStamp stamp;
  const bool stamped = GetFileStamp(path, stamp);
  const auto it = staged_->files.find(path);
  if (it != staged_->files.end()) {
    if (stamped && it->second.stamp == stamp) return RetryMove(path);
    staged_->files.erase(it);  // another file now bears that name
  }

  if (!ExclusiveOpenTest(path)) {
    log_.AddLine("Failed to exclusively open " + path + ", will retry later.");
    return foHeld;
  }
  return StageFile(path, stamp);
}

TFileOutcome TCardIntake::RetryMove(const std::string& path) {
  const bool toErrors = staged_->files[path].toErrors;
  const std::string& destination = toErrors ? DtlErrorsDir : DtlFilesDir;
  if (destination.empty()) return foMoveRetried;  // stays, as it would have after staging
  if (MoveToFolder(path, destination)) {
    staged_->files.erase(path);
    log_.AddLine("Moved " + path + " to " + destination + " (staged earlier, not staged again)");
  } else {
    log_.AddLine("Cannot move file: " + path + " to " + destination);
  }
  return foMoveRetried;
}

void TCardIntake::Dispose(const std::string& path, const TFileStamp& stamp, bool toErrors,
                          bool mayBeCommitted) {
  const std::string& destination = toErrors ? DtlErrorsDir : DtlFilesDir;
  const bool moved = MoveToFolder(path, destination);
  if (!moved) log_.AddLine("Cannot move file: " + path + " to " + destination);
  if (mayBeCommitted && (!moved || destination.empty())) {
    staged_->files[path] = TStagedFiles::TEntry{stamp, toErrors};
  }
}

bool MoveToFolder(const std::string& path, const std::string& folder) {
  if (folder.empty()) return true;
  return MoveFileReplacing(path, JoinPath(folder, ExtractFileName(path)));
}

}  // namespace fw

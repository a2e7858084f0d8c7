// What becomes of a card file once its staging has ended: moved to the done or the error
// folder (with its report), or remembered when it stays in the drop folder after a commit.
#include <map>
#include <string>
#include <vector>

#include "intake/card_intake.h"
#include "intake/card_stager.h"
#include "log/log_texts.h"
#include "platform/files.h"

namespace fw {

void TCardStager::KeepOnly(const std::vector<std::string>& paths) {
  std::map<std::string, TRemembered> still;
  for (const std::string& path : paths) {
    const auto it = remembered_.find(path);
    if (it != remembered_.end()) still.insert(*it);
  }
  remembered_.swap(still);
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

void TCardStager::Dispose(THeldFile& file, TDestination to, TCommitState committed) {
  const bool toErrors = to == dsErrors;
  const std::string path = file.Path();
  const TFileStamp stamp = file.Stamp();
  const std::string& destination = toErrors ? folders_.errors : folders_.files;
  const bool moved = MoveToFolder(file, destination);
  if (!moved && !MovedByAnother(path, stamp, destination)) {
    log_.AddLine(logtext::kCannot + ("move file: " + path) + " to " + destination);
  } else if (!moved) {
    // Seen through a share, the other server moves a file it finds staged in the ledger
    // between our commit and our move.
    log_.AddLine("Left the drop folder before it was moved: " + path +
                 " (moved by another server)");
    return;
  }
  if (committed == csMaybeCommitted && (!moved || destination.empty())) {
    remembered_[path] = TRemembered{stamp, toErrors};
  }
}

void TCardStager::Reject(THeldFile& file, TRejectReport report, TCommitState committed) {
  tally_.linesRejected += report.badLines;
  if (!folders_.errors.empty()) {
    report.host = HostName();
    report.when = clock_.Now();
    report.size = file.Stamp().size;
    if (!WriteRejectReport(folders_.errors, report)) {
      log_.AddLine(logtext::kCannot +
                   ("write the report " +
                    JoinPath(folders_.errors, RejectReportName(ExtractFileName(file.Path())))));
    }
  }
  Dispose(file, dsErrors, committed);
}

bool MoveToFolder(THeldFile& file, const std::string& folder) {
  if (folder.empty()) return true;
  return file.MoveTo(JoinPath(folder, ExtractFileName(file.Path())));
}

bool MovedByAnother(const std::string& path, const TFileStamp& stamp, const std::string& folder) {
  TFileStamp now;
  if (GetFileStamp(JoinPath(folder, ExtractFileName(path)), now) && now == stamp) return true;
  return !GetFileStamp(path, now) || !(now == stamp);
}


TFileOutcome TCardStager::MoveAlreadyStaged(THeldFile& file) {
  const std::string path = file.Path();
  const TFileStamp stamp = file.Stamp();
  if (MoveToFolder(file, folders_.files)) {
    log_.AddLine("Already staged " + path + " (card_file), moved to " + folders_.files +
                 " without staging it again");
    return foMoveRetried;
  }
  log_.AddLine(MovedByAnother(path, stamp, folders_.files)
                   ? "Already staged " + path + " (card_file) by another server, which moved it"
                   : "Already staged " + path + " (card_file), not staged again; cannot " +
                         "move it to " + folders_.files);
  return foMoveRetried;
}

bool MoveToFolder(const std::string& path, const std::string& folder) {
  if (folder.empty()) return true;
  return MoveFileReplacing(path, JoinPath(folder, ExtractFileName(path)));
}

}  // namespace fw

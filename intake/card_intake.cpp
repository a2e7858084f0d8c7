// The scan of the drop folder.
#include "intake/card_intake.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "db/statement.h"
#include "platform/files.h"

namespace fw {

TCardIntake::TCardIntake(TMessLog& log, TODBC& mainDb, TODBC& stagingDb, const TClock& clock)
    : log_(log),
      mainDb_(mainDb),
      stagingDb_(stagingDb),
      clock_(clock),
      run_{nullptr, IntakeBatchedFromEnv()},
      ledger_(mainDb, clock),
      stager_(run_, log, stagingDb, ledger_, Folders, Encoding, Tally, clock),
      pass_(run_, log, mainDb, Tally, clock) {}

bool IntakeBatchedFromEnv() {
  const char* mode = std::getenv("FENWOLD_INTAKE");
  return mode == nullptr || std::string(mode) != "per-row";
}

bool TCardIntake::ScanCardFiles() {
  listed_ = 0;
  if (!mainDb_.Connected()) return false;
  {
    TODBCStatement settings(mainDb_, caReadOnly);
    // A failed read leaves the three folders empty, as an empty table does.
    const bool read = settings.Exec("SELECT * FROM settings").Ok();
    Folders.drop = settings.FieldAsString("audits_dir");
    Folders.files = settings.FieldAsString("dtlfiles_dir");
    Folders.errors = settings.FieldAsString("dtlerrors_dir");
    if (!read && (settings.LostConnection() || mainDb_.LostConnection())) return false;
  }
  if (OnDropFolder) OnDropFolder(Folders.drop);
  if (Folders.drop.empty()) return true;

  const std::vector<std::string> names = ListCardFiles(Folders.drop);
  listed_ = names.size();
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(JoinPath(Folders.drop, name));
  stager_.KeepOnly(paths);
  bool connected = stagingDb_.Connected();

  if (!paths.empty()) passOwed_ = true;
  if (settleMs_ > 0) {
    std::map<std::string, TFileStamp> listed;
    for (const std::string& path : paths) {
      TFileStamp stamp;
      if (GetFileStamp(path, stamp)) listed[path] = stamp;
    }
    stager_.ExpectListed(std::move(listed));
    if (!paths.empty() && !WaitToSettle()) return connected;
  } else {
    stager_.ExpectListed(std::nullopt);
  }
  for (const std::string& path : paths) {
    if (!connected || StopRequested()) break;
    const TFileOutcome outcome = ProcessCardFile(path);
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
  if (paths.empty() || scanPass_ == spLeavesPassOwed) return connected;
  if (ProcessFutureCards() == poConnectionLost) return false;
  return connected;
}

bool TCardIntake::WaitToSettle() const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(settleMs_);
  while (std::chrono::steady_clock::now() < end) {
    if (StopRequested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(settleMs_, 50)));
  }
  return !StopRequested();
}

TPassOutcome TCardIntake::ProcessFutureCards() {
  passOwed_ = true;
  const TPassOutcome outcome = pass_.Run();
  // A pass that ended with an error of its own is not owed: it would only fail again.
  passOwed_ = outcome != poDone || pass_.RecordsKept();
  if (outcome == poStopped) {
    log_.AddLine("Stop requested: the future-card pass ends here, the rest stays staged");
  }
  return outcome;
}

}  // namespace fw

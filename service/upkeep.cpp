#include "service/upkeep.h"

#include <string>
#include <vector>

#include "intake/folder_upkeep.h"
#include "intake/staged_counts.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "service/metrics.h"

namespace fw {
namespace {

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

TUpkeep::TUpkeep(TMessLog& log, const TConnParams& params, const TClock& clock, TCardIntake& intake,
                 TDbLink& link)
    : log_(log), params_(params), clock_(clock), intake_(intake), link_(link) {}

void TUpkeep::Prune(bool stopping) {
  const auto steady = std::chrono::steady_clock::now();
  if (link_.Reachable() && !stopping &&
      (!pruned_ || steady - lastPrune_ > std::chrono::hours(24))) {
    intake_.PruneLedger(params_.CardFileRetentionDays);
    pruned_ = true;
    lastPrune_ = steady;
  }
  PruneDoneFolder(stopping);
}

void TUpkeep::PruneDoneFolder(bool stopping) {
  const int days = params_.DoneRetentionDays;
  const std::string& folder = intake_.Folders.files;
  if (days <= 0 || folder.empty() || stopping) return;
  const auto steady = std::chrono::steady_clock::now();
  if (donePruned_ && steady - lastDonePrune_ < std::chrono::hours(24)) return;
  donePruned_ = true;
  lastDonePrune_ = steady;
  log_.AddLine(
      PruneLine(PruneOldCardFiles(folder, days, static_cast<int64_t>(UnixNow())), days, folder));
}

void TUpkeep::NoteSuccess() {
  lastSuccessUnix_ = UnixNow();
}

void TUpkeep::WriteMetrics(bool stopping, double tickSeconds) {
  if (params_.MetricsFile.empty()) return;
  TMetrics m;
  m.tally = intake_.Tally;
  m.dbReachable = link_.Reachable();
  m.lastSuccessUnix = lastSuccessUnix_;
  m.lastTickSeconds = tickSeconds;
  TStagedCounts staged;
  if (link_.Reachable() && !stopping && CountStaged(link_.Main(), clock_.Now(), staged)) {
    m.dueNow = staged.due;
    m.waiting = staged.waiting;
  }
  const std::string& drop = intake_.Folders.drop;
  if (!drop.empty()) {
    const std::vector<std::string> names = ListCardFiles(drop);
    m.filesWaiting = static_cast<long long>(names.size());
    m.oldestWaitingSec = 0;
    const auto now = static_cast<int64_t>(UnixNow());
    for (const std::string& name : names) {
      const int64_t arrived = FileArrivalTime(JoinPath(drop, name));
      if (arrived >= 0 && now - arrived > m.oldestWaitingSec) m.oldestWaitingSec = now - arrived;
    }
  }
  const bool written = WriteFileReplacing(params_.MetricsFile, FormatMetrics(m));
  if (!written && !metricsFailed_) {
    log_.AddLine("Cannot write the metrics file " + params_.MetricsFile);
  }
  metricsFailed_ = !written;
}

}  // namespace fw

// TUpkeep: the service's housekeeping around the ticks: the card_file ledger pruned at the first
// tick and then once a day (CardFileRetentionDays), the done folder's old files removed once a
// day (DoneRetentionDays), and the metrics file rewritten after every tick (MetricsFile).
//
// Threads: the main thread, in a tick. Ownership: the log, the settings, the clock, intake and
// the link are the caller's and outlive it. Failures: a prune that fails is tried again at its
// next time; a metrics file that cannot be written is said once in the log, until it can be
// again; none of them stops the tick.
#pragma once

#include <chrono>

#include "config/conn_params.h"
#include "intake/card_intake.h"
#include "log/messlog.h"
#include "service/db_link.h"

namespace fw {

class TUpkeep {
 public:
  TUpkeep(TMessLog& log, const TConnParams& params, const TClock& clock, TCardIntake& intake,
          TDbLink& link);

  // After the tick's pass; `stopping`: a stop has been asked for, and nothing is pruned.
  void Prune(bool stopping);
  // At the end of a tick that reached the database.
  void NoteSuccess();
  // At the end of every tick; `tickSeconds`: how long it took.
  void WriteMetrics(bool stopping, double tickSeconds);

 private:
  void PruneDoneFolder(bool stopping);

  TMessLog& log_;
  const TConnParams& params_;
  const TClock& clock_;
  TCardIntake& intake_;
  TDbLink& link_;
  // When the ledger was last pruned; it is pruned at the first tick and then once a day.
  std::chrono::steady_clock::time_point lastPrune_{};
  bool pruned_ = false;
  std::chrono::steady_clock::time_point lastDonePrune_{};
  bool donePruned_ = false;
  double lastSuccessUnix_ = 0;  // end of the last tick that reached the database
  bool metricsFailed_ = false;  // said once in the log, not at every tick
};

}  // namespace fw

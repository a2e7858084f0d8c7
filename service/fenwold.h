// TFenwold: the service body. ServiceExecute, on the service thread, opens the log and the
// database link and waits for a stop; the ticks (service/tick_schedule.h), on the main thread,
// stage the drop folder's card files, run the future-card pass when it is due, and do the
// upkeep (service/upkeep.h).
//
// Threads: the service thread creates and frees what the ticks use, only while no tick can
// run (before the schedule starts, after it has stopped); the main thread runs the ticks and
// owns the connections meanwhile. OnStopRequest and OnInterrogate run on the service thread.
// Ownership: the application owns the service; the service owns everything below.
// Failures: a database that cannot be reached at start stops the service with
// kExitCannotConnect; one lost later leaves the files in the drop folder until it is back.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "config/conn_params.h"
#include "intake/card_intake.h"
#include "log/messlog.h"
#include "service/db_link.h"
#include "service/host/service.h"
#include "service/run_settings.h"
#include "service/tick_schedule.h"
#include "service/upkeep.h"

namespace fw {

class TServiceApplication;

// Service-specific exit code of a run that ended because the card database could not be
// reached at start.
constexpr uint32_t kExitCannotConnect = 1;

class TFenwold : public TService {
 public:
  explicit TFenwold(TServiceApplication& app);
  ~TFenwold() override;
  // The log folder and the week's daily log files.
  void DescribeInstall(TServiceInstallInfo& info) const override;

 private:
  void ServiceExecute();
  // The tick's body; true when it listed card files and picked up or rejected none.
  bool Tick();
  // Connect, scan, the pass when it is due, the prunes.
  void RunIntake();
  // What every tick ends with, also one cut off by a throw: the status, the due timer, metrics.
  void EndTick();
  // No tick starts after this, and one that runs has ended when it returns.
  void StopTicks();
  // Called while a tick waits for the database.
  void KeepAliveInTick();
  void ReportProgress();

  TRunSettings settings_;
  std::unique_ptr<TServiceClock> clock_;
  // Set as soon as the service thread sees the stop; the running tick ends at its next row
  // or record.
  std::atomic<bool> stopRequested_{false};
  TTickSchedule schedule_;
  std::unique_ptr<TMessLog> log_;
  std::unique_ptr<TConnParams> params_;
  std::unique_ptr<TDbLink> link_;
  std::unique_ptr<TCardIntake> intake_;
  std::unique_ptr<TUpkeep> upkeep_;
  bool hookSet_ = false;
  unsigned watchdogMs_ = 0;
  std::chrono::steady_clock::time_point tickStart_{};
  std::chrono::steady_clock::time_point lastPing_{};
};

}  // namespace fw

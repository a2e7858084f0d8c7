// TFenwold: the service body. ServiceExecute opens the log and the two connections and waits
// for a stop; tmrMain's ticks, on the main thread, scan the drop folder and run the hourly
// future-card pass. The same tick comes early when the drop folder's watch hears of a card
// file (its thread posts to the main thread, never runs intake itself), and when tmrDue says
// the earliest staged start has come, and when tmrPoll's listing of a drop folder on a share
// finds a new or changed card file.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "config/conn_params.h"
#include "db/odbc.h"
#include "intake/card_intake.h"
#include "log/messlog.h"
#include "platform/datetime.h"
#include "platform/folder_watch.h"
#include "platform/service_host.h"
#include "service/drop_poll.h"
#include "service/run_settings.h"
#include "service/service.h"

namespace fw {

class TServiceApplication;

// Service-specific exit code of a run that ended because the card database could not be
// reached at start.
constexpr uint32_t kExitCannotConnect = 1;

class TFenwold : public TService {
 public:
  explicit TFenwold(TServiceApplication& app);
  ~TFenwold() override;

  void ServiceExecute(TService& sender);
  void tmrMainTimer();
  void ScanCardFiles();
  void ProcessFutureCards();

  TTimer tmrMain;
  // Runs the pass when the earliest staged start comes (armed after every tick).
  TTimer tmrDue;
  // Runs a wake held back after a woken tick that left files where they were.
  TTimer tmrWake;
  // Lists the drop folder between ticks where it is polled (service/drop_poll.h), and wakes
  // the tick when the listing says so.
  TTimer tmrPoll;
  std::unique_ptr<TMessLog> Log;
  std::unique_ptr<TODBC> StagingDb;
  bool PassRanLastTick = false;
  std::unique_ptr<TODBC> MainDb;

 private:
  bool Reconnect(TODBC& db, TCommitMode mode);
  // Both connections usable, reconnecting any that was lost or never made.
  bool EnsureConnected();
  void NoteUnreachable(const std::string& detail);
  // At every connect: the card_file ledger made where it is missing, its presence told to
  // intake; the warning that it cannot be made is written once a start.
  void EnsureLedger();
  // No tick starts after this, and one that runs has ended when it returns.
  void StopTicks();
  // Called while a tick waits for the database.
  void KeepAliveInTick();
  void ReportProgress();
  // Any thread: the next tick runs as soon as the main thread is free; a burst of calls
  // before it starts makes one tick.
  void Wake();
  // A tick brought on by the watch (not held back).
  void WokenTick();
  // Keeps the watch and the poll on the drop folder of settings (it may change at any tick).
  void FollowDropFolder(const std::string& folder);
  void PollDropFolder();
  void ArmDueTimer();
  bool PassCanWait();
  // Once a day, with DoneRetentionDays set: the done folder's old files go, with one line.
  void PruneDoneFolder();
  // After every tick, with MetricsFile set.
  void WriteMetrics();

  TEventLoop& loop_;

  TRunSettings settings_;
  std::unique_ptr<TServiceClock> clock_;
  std::unique_ptr<TConnParams> params_;
  std::unique_ptr<TCardIntake> intake_;
  std::unique_ptr<TFolderWatcher> watch_;  // null when the registry turns events off
  std::atomic<bool> wakePending_{false};
  TDropPoll dropPoll_;
  std::string followed_;   // the drop folder the watch and the poll were last set up for
  std::string watchLine_;  // the last line that said how it is watched
  std::optional<std::chrono::steady_clock::time_point> passWaitsSince_;
  std::chrono::steady_clock::time_point quietUntil_{};
  std::timed_mutex tickLock_;  // held for the whole of a tick
  bool stopping_ = false;
  // Set as soon as the service thread sees the stop; the running tick ends at its next row
  // or record.
  std::atomic<bool> stopRequested_{false};
  bool dbReachable_ = true;
  bool ledgerWarned_ = false;
  TDateTime unreachableSince_ = 0;
  bool hookSet_ = false;
  unsigned watchdogMs_ = 0;
  std::chrono::steady_clock::time_point tickStart_{};
  std::chrono::steady_clock::time_point lastPing_{};
  // When the ledger was last pruned; it is pruned at the first tick and then once a day.
  std::chrono::steady_clock::time_point lastPrune_{};
  bool pruned_ = false;
  std::chrono::steady_clock::time_point lastDonePrune_{};
  bool donePruned_ = false;
  double lastSuccessUnix_ = 0;  // end of the last tick that reached the database
  bool metricsFailed_ = false;  // said once in the log, not at every tick
};

}  // namespace fw

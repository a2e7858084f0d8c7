#include "service/fenwold.h"

#include "db/statement.h"
#include "intake/folder_upkeep.h"
#include "intake/staged_counts.h"
#include "log/log_texts.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "platform/strings.h"
#include "service/metrics.h"
#include "service/service_app.h"
#include "service/status_line.h"

namespace fw {
namespace {

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A tick may keep the systemd watchdog quiet this long while it waits for the database (a
// backlog of large files takes a while); past that it counts as hung, and the keep-alives
// stop until it ends.
constexpr auto kTickKeepAlive = std::chrono::hours(1);

}  // namespace

TFenwold::TFenwold(TServiceApplication& app)
    : TService("Fenwold", "KELVO Fenwold"),
      tmrMain(app.Loop(), kDefaultTickMs, [this] { tmrMainTimer(); }),
      settings_(RunSettingsFromEnvironment()),
      clock_(std::make_unique<TServiceClock>(settings_)),
      watchdogMs_(WatchdogIntervalMs()) {
  tmrMain.SetInterval(settings_.tickMs);
  OnExecute = [this](TService& sender) { ServiceExecute(sender); };
  OnStopRequest = [this] { stopRequested_ = true; };
  // The log exists while the service thread, which handles the request, runs the body.
  OnInterrogate = [this] {
    if (Log) Log->AddLine("Status: " + StatusLine());
  };
}

TFenwold::~TFenwold() {
  // An execute handler that did not get to its own clean-up leaves ticks that must end
  // before what they use goes.
  StopTicks();
  if (hookSet_) {  // on the main thread, where they were set
    SetExecWaitHook(nullptr);
    SetExecCancelCheck(nullptr);
  }
  intake_.reset();
  StagingDb.reset();
  params_.reset();
  Log.reset();
  MainDb.reset();
}

void TFenwold::ServiceExecute(TService& /*sender*/) {
  PassRanLastTick = false;
  Log = std::make_unique<TMessLog>(settings_.logFolder + "fenwold.log",
                                   TLogOptions{.dailyFiles = true});
  MainDb = std::make_unique<TODBC>();
  params_ = std::make_unique<TConnParams>();
  MainDb->Connect(params_->DSNName, params_->User, params_->Pass, params_->Database, false,
                  params_->ODBCDriver, params_->ConnectOptions());
  if (!MainDb->Connected()) {
    Log->AddLine(std::string(logtext::kCannot) +
                 "connect to ODBC source.  Terminating service abnormally!");
    // A stop that the service manager sees as a failure, so that it restarts the service.
    ErrCode = kExitCannotConnect;
  } else {
    StagingDb = std::make_unique<TODBC>();
    if (!Reconnect(*StagingDb, true)) NoteUnreachable(StagingDb->LastError());
    intake_ = std::make_unique<TCardIntake>(*Log, *MainDb, *StagingDb, *clock_);
    intake_->Encoding = {params_->CardFileEncoding, params_->CardFileCodePage};
    intake_->SetStopFlag(&stopRequested_);
    // A pass cut off by a crash or a stop of the previous run is not lost: the first tick
    // runs one.
    intake_->OwePass();
    tmrMain.SetEnabled(true);
    while (!ServiceThread()->Terminated()) {
      ServiceThread()->ProcessRequests(false);
      SleepMs(50);
    }
    StopTicks();
    intake_.reset();
    StagingDb.reset();
  }
  params_.reset();
  Log.reset();
  MainDb.reset();
}

void TFenwold::StopTicks() {
  stopRequested_ = true;
  std::unique_lock<std::timed_mutex> hold(tickLock_, std::defer_lock);
  // While the tick winds down the service manager hears from us, each report a further
  // checkpoint of the stop.
  while (!hold.try_lock_for(std::chrono::milliseconds(250))) {
    if (Status() == csStopPending) ReportStatus();
  }
  stopping_ = true;
  tmrMain.SetEnabled(false);
}

void TFenwold::tmrMainTimer() {
  std::lock_guard<std::timed_mutex> hold(tickLock_);
  if (stopping_) return;
  tmrMain.SetEnabled(false);
  clock_->StartTick();
  tickStart_ = std::chrono::steady_clock::now();
  if (!hookSet_) {
    // The hooks belong to the thread that runs the statements: this one. With them every
    // statement runs on a worker, so that a stop can cancel one that waits (on a lock, say).
    SetExecWaitHook([this] { KeepAliveInTick(); });
    SetExecCancelCheck([this] { return stopRequested_.load(); });
    hookSet_ = true;
  }
  try {
    ScanCardFiles();
    if (intake_->PassOwed() && !stopRequested_ && dbReachable_) ProcessFutureCards();
    const auto steady = std::chrono::steady_clock::now();
    if (dbReachable_ && !stopRequested_ &&
        (!pruned_ || steady - lastPrune_ > std::chrono::hours(24))) {
      intake_->PruneLedger(params_->CardFileRetentionDays);
      pruned_ = true;
      lastPrune_ = steady;
    }
    PruneDoneFolder();
    const TDateParts now = DecodeDateTime(clock_->Now());
    if (stopRequested_) {
      // The tick ends here; the hourly pass is owed to the next run.
    } else if (now.minute == 0 && !PassRanLastTick) {
      ProcessFutureCards();
      PassRanLastTick = true;
    } else {
      PassRanLastTick = false;
    }
  } catch (...) {
    ReportProgress();
    WriteMetrics();
    tmrMain.SetEnabled(true);
    throw;
  }
  if (dbReachable_) lastSuccessUnix_ = UnixNow();
  ReportProgress();
  WriteMetrics();
  tmrMain.SetEnabled(true);
}

void TFenwold::PruneDoneFolder() {
  const int days = params_->DoneRetentionDays;
  const std::string& folder = intake_->Folders.files;
  if (days <= 0 || folder.empty() || stopRequested_) return;
  const auto steady = std::chrono::steady_clock::now();
  if (donePruned_ && steady - lastDonePrune_ < std::chrono::hours(24)) return;
  donePruned_ = true;
  lastDonePrune_ = steady;
  Log->AddLine(
      PruneLine(PruneOldCardFiles(folder, days, static_cast<int64_t>(UnixNow())), days, folder));
}

void TFenwold::WriteMetrics() {
  if (!intake_ || params_->MetricsFile.empty()) return;
  TMetrics m;
  m.tally = intake_->Tally;
  m.dbReachable = dbReachable_;
  m.lastSuccessUnix = lastSuccessUnix_;
  m.lastTickSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - tickStart_).count();
  TStagedCounts staged;
  if (dbReachable_ && !stopRequested_ && CountStaged(*MainDb, clock_->Now(), staged)) {
    m.dueNow = staged.due;
    m.waiting = staged.waiting;
  }
  if (!intake_->Folders.audits.empty()) {
    const std::vector<std::string> names = ListCardFiles(intake_->Folders.audits);
    m.filesWaiting = static_cast<long long>(names.size());
    m.oldestWaitingSec = 0;
    const auto now = static_cast<int64_t>(UnixNow());
    for (const std::string& name : names) {
      const int64_t arrived = FileArrivalTime(JoinPath(intake_->Folders.audits, name));
      if (arrived >= 0 && now - arrived > m.oldestWaitingSec) m.oldestWaitingSec = now - arrived;
    }
  }
  const bool written = WriteFileReplacing(params_->MetricsFile, FormatMetrics(m));
  if (!written && !metricsFailed_) {
    Log->AddLine("Cannot write the metrics file " + params_->MetricsFile);
  }
  metricsFailed_ = !written;
}

void TFenwold::ScanCardFiles() {
  // While either connection is down nothing is staged: the files wait in the drop folder
  // instead of failing into the error folder.
  if (!EnsureConnected()) return;
  const bool ok = intake_->ScanCardFiles();
  if (!ok) NoteUnreachable("");
}

void TFenwold::ProcessFutureCards() {
  if (intake_->ProcessFutureCards() == poConnectionLost) NoteUnreachable("");
}

void TFenwold::ReportProgress() {
  if (intake_)
    SetStatusDetails(StatusDetails(intake_->Tally, dbReachable_ ? 0 : unreachableSince_));
}

void TFenwold::KeepAliveInTick() {
  if (watchdogMs_ == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - tickStart_ > kTickKeepAlive) return;
  if (now - lastPing_ < std::chrono::milliseconds(watchdogMs_)) return;
  lastPing_ = now;
  WatchdogPing();
}

bool TFenwold::Reconnect(TODBC& db, bool manualCommit) {
  if (db.Connected() && !db.LostConnection() && dbReachable_) return true;
  db.Disconnect();
  return db.Connect(params_->DSNName, params_->User, params_->Pass, params_->Database, manualCommit,
                    params_->ODBCDriver, params_->ConnectOptions());
}

// After a loss both connections are made afresh, also the one that has not failed yet: it
// went to the same server and is as dead, only not yet used.
bool TFenwold::EnsureConnected() {
  const bool main = Reconnect(*MainDb, false);
  const bool staging = main && Reconnect(*StagingDb, true);
  if (!main || !staging) {
    NoteUnreachable(!main ? MainDb->LastError() : StagingDb->LastError());
    return false;
  }
  if (!dbReachable_) {
    dbReachable_ = true;
    ReportProgress();  // the status line stops saying "unreachable" at once, not after the tick
    Log->AddLine("Database reachable again; staging card files resumes");
  }
  return true;
}

void TFenwold::NoteUnreachable(const std::string& detail) {
  if (!dbReachable_) return;
  dbReachable_ = false;
  unreachableSince_ = clock_->Now();
  ReportProgress();
  std::string line = std::string(logtext::kDatabaseUnreachable) +
                     "; card files stay in the drop folder until it is back";
  if (!detail.empty()) line += ": " + OneLine(detail);
  Log->AddLine(line);
}

}  // namespace fw

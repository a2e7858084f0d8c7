#include "service/fenwold.h"

#include "db/statement.h"
#include "intake/folder_upkeep.h"
#include "intake/ledger_table.h"
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

// A record is due once the clock is strictly past its start: the due timer fires this much
// after it. Never more than an hour ahead, so that a clock set back or forward is caught up
// with (the timer runs on the steady clock, starts are wall-clock times).
constexpr double kDueMarginMs = 50;
constexpr double kDueLongestMs = 3600.0 * 1000;

// While files keep arriving, the pass waits for the scan of the last of them, but no longer
// than this: a burst of files gets one pass, not one per tick.
constexpr auto kPassWaitsAtMost = std::chrono::seconds(1);

// A woken tick that left the files it found where they were holds the next wake back this
// long. The watch never hears intake's own work on a local disk, but where it may (the
// descriptor opened for writing on NFS) a file that stays must not wake tick after tick.
constexpr auto kQuietAfterIdleWake = std::chrono::seconds(1);

}  // namespace

TFenwold::TFenwold(TServiceApplication& app)
    : TService("Fenwold", "KELVO Fenwold"),
      tmrMain(app.Loop(), kDefaultTickMs, [this] { tmrMainTimer(); }),
      tmrDue(app.Loop(), kDefaultTickMs,
             [this] {
               tmrDue.SetEnabled(false);
               if (intake_) intake_->OwePass();
               tmrMainTimer();
             }),
      tmrWake(app.Loop(), kDefaultTickMs,
              [this] {
                tmrWake.SetEnabled(false);
                if (wakePending_.exchange(false)) WokenTick();
              }),
      tmrPoll(app.Loop(), kDefaultSharePollMs, [this] { PollDropFolder(); }),
      loop_(app.Loop()),
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
    if (!Reconnect(*StagingDb, cmManualCommit)) NoteUnreachable(StagingDb->LastError());
    intake_ = std::make_unique<TCardIntake>(*Log, *MainDb, *StagingDb, *clock_);
    intake_->Encoding = {params_->CardFileEncoding, params_->CardFileCodePage};
    intake_->SetSettleMs(params_->CardFileSettleMs);
    intake_->SetStopFlag(&stopRequested_);
    // A pass cut off by a crash or a stop of the previous run is not lost: the first tick
    // runs one.
    intake_->OwePass();
    intake_->OnDropFolder = [this](const std::string& folder) { FollowDropFolder(folder); };
    intake_->PassCanWait = [this] { return PassCanWait(); };
    if (StagingDb->Connected()) EnsureLedger();
    tmrMain.SetEnabled(true);
    if (params_->CardFileEvents) {
      watch_ = std::make_unique<TFolderWatcher>([this] { Wake(); });
    }
    // The first tick sets the watch or the poll up, and picks up what waited meanwhile.
    if (params_->CardFileEvents || params_->CardFilePollMs.value_or(0) > 0) Wake();
    while (!ServiceThread()->Terminated()) {
      ServiceThread()->ProcessRequests(false);
      SleepMs(50);
    }
    StopTicks();
    watch_.reset();
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
  tmrDue.SetEnabled(false);
  tmrWake.SetEnabled(false);
  tmrPoll.SetEnabled(false);
}

void TFenwold::Wake() {
  if (wakePending_.exchange(true)) return;
  // A tick that starts first takes the wake with it, and this task does nothing.
  loop_.Post([this] {
    if (!wakePending_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < quietUntil_) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(quietUntil_ - now);
      tmrWake.SetEnabled(false);
      tmrWake.SetInterval(static_cast<unsigned>(wait.count()) + 1);
      tmrWake.SetEnabled(true);
      return;
    }
    if (wakePending_.exchange(false)) WokenTick();
  });
}

void TFenwold::WokenTick() {
  const unsigned long before = intake_ ? intake_->Tally.pickedUp + intake_->Tally.rejected : 0;
  tmrMainTimer();
  const unsigned long after = intake_ ? intake_->Tally.pickedUp + intake_->Tally.rejected : 0;
  const bool filesStay = intake_ && intake_->Listed() > 0 && after == before;
  quietUntil_ = filesStay ? std::chrono::steady_clock::now() + kQuietAfterIdleWake
                          : std::chrono::steady_clock::time_point{};
}

void TFenwold::FollowDropFolder(const std::string& folder) {
  if (folder.empty()) return;
  // A watch that holds needs nothing; one that failed is tried again at every tick.
  if (folder == followed_ && (!watch_ || watch_->Watching())) return;
  TDropWatchFacts facts;
  facts.folder = folder;
  facts.events = params_->CardFileEvents ? esEventsOn : esEventsOff;
  facts.pollSetting = params_->CardFilePollMs;
  facts.tickMs = settings_.tickMs;
  TFolderKind kind;
  if (GetFolderKind(folder, kind, facts.kindError)) facts.kind = kind;
  if (watch_) facts.watch = watch_->Watch(folder, facts.watchError) ? woWatched : woNotWatched;
  const TDropWatchPlan plan = PlanDropWatch(facts);
  if (folder != followed_) dropPoll_.Forget();
  followed_ = folder;
  if (plan.pollMs == 0) {
    tmrPoll.SetEnabled(false);
  } else if (!tmrPoll.Enabled() || tmrPoll.Interval() != plan.pollMs) {
    tmrPoll.SetEnabled(false);
    tmrPoll.SetInterval(plan.pollMs);
    tmrPoll.SetEnabled(true);
  }
  if (plan.line == watchLine_) return;  // said once, however many ticks find it so
  watchLine_ = plan.line;
  Log->AddLine(plan.line);
}

void TFenwold::PollDropFolder() {
  // Between ticks only; a stop that has begun ends the polls.
  std::unique_lock<std::timed_mutex> hold(tickLock_, std::try_to_lock);
  if (!hold.owns_lock() || stopping_ || stopRequested_ || followed_.empty()) return;
  std::vector<TListedFile> listing;
  ListCardFileStamps(followed_, listing);  // a folder that cannot be listed has nothing new
  hold.unlock();
  if (dropPoll_.ShouldWake(listing, std::chrono::steady_clock::now())) Wake();
}

bool TFenwold::PassCanWait() {
  if (!wakePending_) return false;  // nothing more on its way
  const auto now = std::chrono::steady_clock::now();
  if (!passWaitsSince_) passWaitsSince_ = now;
  return now - *passWaitsSince_ < kPassWaitsAtMost;
}

void TFenwold::ArmDueTimer() {
  tmrDue.SetEnabled(false);
  const TDateTime next = intake_ ? intake_->Tally.nextStart : 0;
  // A pass that is owed (cut off, or the database away) is the next tick's: arming for a
  // start already past would only spin.
  if (next == 0 || stopping_ || stopRequested_ || intake_->PassOwed()) return;
  double ms = (next - clock_->Now()) * 86400.0 * 1000 + kDueMarginMs;
  if (ms < kDueMarginMs) ms = kDueMarginMs;
  if (ms > kDueLongestMs) ms = kDueLongestMs;
  tmrDue.SetInterval(static_cast<unsigned>(ms));
  tmrDue.SetEnabled(true);
}

void TFenwold::tmrMainTimer() {
  std::lock_guard<std::timed_mutex> hold(tickLock_);
  if (stopping_) return;
  tmrMain.SetEnabled(false);
  wakePending_ = false;  // this tick scans for whatever woke it
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
    if (intake_->PassOwed() && !stopRequested_ && dbReachable_ && !PassCanWait()) {
      ProcessFutureCards();
    }
    if (!intake_->PassOwed()) passWaitsSince_.reset();
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
    ArmDueTimer();
    WriteMetrics();
    tmrMain.SetEnabled(true);
    throw;
  }
  if (dbReachable_) lastSuccessUnix_ = UnixNow();
  ReportProgress();
  ArmDueTimer();
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

bool TFenwold::Reconnect(TODBC& db, TCommitMode mode) {
  if (db.Connected() && !db.LostConnection() && dbReachable_) return true;
  db.Disconnect();
  return db.Connect(params_->DSNName, params_->User, params_->Pass, params_->Database,
                    mode == cmManualCommit, params_->ODBCDriver, params_->ConnectOptions());
}

// After a loss both connections are made afresh, also the one that has not failed yet: it
// went to the same server and is as dead, only not yet used.
bool TFenwold::EnsureConnected() {
  const bool renewing = !dbReachable_ || !MainDb->Connected() || MainDb->LostConnection() ||
                        !StagingDb->Connected() || StagingDb->LostConnection();
  const bool main = Reconnect(*MainDb, cmAutoCommit);
  const bool staging = main && Reconnect(*StagingDb, cmManualCommit);
  if (!main || !staging) {
    NoteUnreachable(!main ? MainDb->LastError() : StagingDb->LastError());
    return false;
  }
  if (!dbReachable_) {
    dbReachable_ = true;
    ReportProgress();  // the status line stops saying "unreachable" at once, not after the tick
    Log->AddLine("Database reachable again; staging card files resumes");
  }
  if (renewing) EnsureLedger();
  return true;
}

void TFenwold::EnsureLedger() {
  const TLedgerTable table = EnsureLedgerTable(*StagingDb);
  if (table.state == lsUnknown) return;  // asked again at the next connect
  intake_->Ledger().SetPresent(table.Present());
  if (table.state == lsMissing && ledgerWarned_) return;
  const std::string line = LedgerTableLine(table);
  if (!line.empty()) Log->AddLine(line);
  ledgerWarned_ = ledgerWarned_ || table.state == lsMissing;
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

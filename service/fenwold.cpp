#include "service/fenwold.h"

#include "db/statement.h"
#include "log/log_texts.h"
#include "platform/files.h"
#include "service/host/service_app.h"
#include "service/status_line.h"

namespace fw {
namespace {

// A tick may keep the systemd watchdog quiet this long while it waits for the database (a
// backlog of large files takes a while); past that it counts as hung, and the keep-alives
// stop until it ends.
constexpr auto kTickKeepAlive = std::chrono::hours(1);

}  // namespace

TFenwold::TFenwold(TServiceApplication& app)
    : TService("Fenwold", "KELVO Fenwold"),
      settings_(RunSettingsFromEnvironment()),
      clock_(std::make_unique<TServiceClock>(settings_)),
      schedule_(
          app.Loop(), settings_.tickMs, stopRequested_, [this] { return Tick(); },
          [this] {
            if (intake_) intake_->OwePass();
          }),
      watchdogMs_(WatchdogIntervalMs()) {
  OnExecute = [this](TService& /*sender*/) { ServiceExecute(); };
  OnStopRequest = [this] { stopRequested_ = true; };
  // The log exists while the service thread, which handles the request, runs the body.
  OnInterrogate = [this] {
    if (log_) log_->AddLine("Status: " + StatusLine());
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
  upkeep_.reset();
  intake_.reset();
  link_.reset();
  params_.reset();
  log_.reset();
}

void TFenwold::DescribeInstall(TServiceInstallInfo& info) const {
  info.logFolder = settings_.logFolder;
  for (int day = 1; day <= 7; ++day) {
    info.logFiles.push_back(info.logFolder + "fenwold" + std::to_string(day) + ".log");
  }
}

void TFenwold::ServiceExecute() {
  log_ = std::make_unique<TMessLog>(settings_.logFolder + "fenwold.log",
                                    TLogOptions{.dailyFiles = true});
  params_ = std::make_unique<TConnParams>();
  link_ = std::make_unique<TDbLink>(*log_, *params_, *clock_);
  link_->SetOnReachability([this] { ReportProgress(); });
  if (!link_->Open()) {
    log_->AddLine(std::string(logtext::kCannot) +
                  "connect to ODBC source.  Terminating service abnormally!");
    // A stop that the service manager sees as a failure, so that it restarts the service.
    ErrCode = kExitCannotConnect;
  } else {
    intake_ = std::make_unique<TCardIntake>(*log_, link_->Main(), link_->Staging(), *clock_);
    intake_->Encoding = {params_->CardFileEncoding, params_->CardFileCodePage};
    intake_->SetSettleMs(params_->CardFileSettleMs);
    intake_->SetStopFlag(&stopRequested_);
    intake_->SetScanPass(spLeavesPassOwed);
    // A pass cut off by a crash or a stop of the previous run is not lost: the first tick
    // runs one.
    intake_->OwePass();
    intake_->OnDropFolder = [this](const std::string& folder) {
      schedule_.FollowDropFolder(folder);
    };
    link_->SetLedger(&intake_->Ledger());
    upkeep_ = std::make_unique<TUpkeep>(*log_, *params_, *clock_, *intake_, *link_);
    if (link_->Staging().Connected()) link_->EnsureLedger();
    schedule_.Start(*log_,
                    {params_->CardFileEvents ? esEventsOn : esEventsOff, params_->CardFilePollMs});
    while (!ServiceThread()->Terminated()) {
      ServiceThread()->ProcessRequests(false);
      SleepMs(50);
    }
    StopTicks();
    upkeep_.reset();
    intake_.reset();
  }
  link_.reset();
  params_.reset();
  log_.reset();
}

void TFenwold::StopTicks() {
  stopRequested_ = true;
  // While the tick winds down the service manager hears from us, each report a further
  // checkpoint of the stop.
  schedule_.Stop([this] {
    if (Status() == csStopPending) ReportStatus();
  });
}

bool TFenwold::Tick() {
  const unsigned long before = intake_->Tally.pickedUp + intake_->Tally.rejected;
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
    RunIntake();
  } catch (...) {
    EndTick();
    throw;
  }
  if (link_->Reachable()) upkeep_->NoteSuccess();
  EndTick();
  const unsigned long after = intake_->Tally.pickedUp + intake_->Tally.rejected;
  return intake_->Listed() > 0 && after == before;
}

void TFenwold::RunIntake() {
  // While either connection is down nothing is staged: the files wait in the drop folder
  // instead of failing into the error folder.
  const bool reached = link_->EnsureConnected();
  bool kept = reached && intake_->ScanCardFiles();
  if (schedule_.HourStruck(clock_->Now(), stopRequested_)) intake_->OwePass();
  // Records staged before a lost connection still get their pass; it stops by itself where
  // the main connection is gone too. After a scan that listed files a second pass follows at
  // once where the first left records for the next one (a try-again), not a tick later.
  bool reachedForPass = reached && (kept || intake_->Listed() > 0);
  for (int passes = intake_->Listed() > 0 ? 2 : 1; passes > 0; --passes) {
    const TPassFacts facts{
        .owed = intake_->PassOwed(), .stopping = stopRequested_, .reached = reachedForPass};
    if (!schedule_.PassRunsNow(facts)) break;
    if (intake_->ProcessFutureCards() == poConnectionLost) kept = false;
    reachedForPass = reached && kept;
  }
  if (reached && !kept) link_->NoteUnreachable("");
  schedule_.PassSettled(intake_->PassOwed());
  upkeep_->Prune(stopRequested_);
}

void TFenwold::EndTick() {
  ReportProgress();
  schedule_.ArmDue(intake_->Tally.nextStart, clock_->Now(), intake_->PassOwed());
  upkeep_->WriteMetrics(
      stopRequested_,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - tickStart_).count());
}

void TFenwold::ReportProgress() {
  if (intake_) SetStatusDetails(StatusDetails(intake_->Tally, link_->UnreachableSince()));
}

void TFenwold::KeepAliveInTick() {
  if (watchdogMs_ == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - tickStart_ > kTickKeepAlive) return;
  if (now - lastPing_ < std::chrono::milliseconds(watchdogMs_)) return;
  lastPing_ = now;
  WatchdogPing();
}

}  // namespace fw

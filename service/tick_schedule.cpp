#include "service/tick_schedule.h"

#include <vector>

#include "platform/folder.h"

namespace fw {
namespace {

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

TTickSchedule::TTickSchedule(TEventLoop& loop, unsigned tickMs, const std::atomic<bool>& stop,
                             std::function<bool()> tick, std::function<void()> due)
    : loop_(loop),
      tickMs_(tickMs),
      stop_(stop),
      tick_(std::move(tick)),
      due_(std::move(due)),
      tickTimer_(loop, tickMs, [this] { RunTick(); }),
      dueTimer_(loop, tickMs,
                [this] {
                  dueTimer_.SetEnabled(false);
                  if (due_) due_();
                  RunTick();
                }),
      wakeTimer_(loop, tickMs,
                 [this] {
                   wakeTimer_.SetEnabled(false);
                   if (wakePending_.exchange(false)) WokenTick();
                 }),
      pollTimer_(loop, kDefaultSharePollMs, [this] { PollDropFolder(); }) {}

TTickSchedule::~TTickSchedule() = default;

void TTickSchedule::Start(TMessLog& log, const TDropFollowing& following) {
  log_ = &log;
  following_ = following;
  // Made before the first tick can run: the tick sets it up.
  if (following.events == esEventsOn) {
    watch_ = std::make_unique<TFolderWatcher>([this] { Wake(); });
  }
  tickTimer_.SetEnabled(true);
  if (following.events == esEventsOn || following.pollSetting.value_or(0) > 0) Wake();
}

void TTickSchedule::Stop(const std::function<void()>& whileWaiting) {
  std::unique_lock<std::timed_mutex> hold(tickLock_, std::defer_lock);
  while (!hold.try_lock_for(std::chrono::milliseconds(250))) {
    if (whileWaiting) whileWaiting();
  }
  stopping_ = true;
  tickTimer_.SetEnabled(false);
  dueTimer_.SetEnabled(false);
  wakeTimer_.SetEnabled(false);
  pollTimer_.SetEnabled(false);
  hold.unlock();
  watch_.reset();
}

void TTickSchedule::Wake() {
  if (wakePending_.exchange(true)) return;
  // A tick that starts first takes the wake with it, and this task does nothing.
  loop_.Post([this] {
    if (!wakePending_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < quietUntil_) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(quietUntil_ - now);
      wakeTimer_.SetEnabled(false);
      wakeTimer_.SetInterval(static_cast<unsigned>(wait.count()) + 1);
      wakeTimer_.SetEnabled(true);
      return;
    }
    if (wakePending_.exchange(false)) WokenTick();
  });
}

bool TTickSchedule::RunTick() {
  std::lock_guard<std::timed_mutex> hold(tickLock_);
  if (stopping_) return false;
  tickTimer_.SetEnabled(false);
  wakePending_ = false;  // this tick scans for whatever woke it
  // The next tick is a whole interval after this one has ended, also after a throw.
  struct TRearm {
    TTimer& timer;
    ~TRearm() { timer.SetEnabled(true); }
  } rearm{tickTimer_};
  return tick_();
}

void TTickSchedule::WokenTick() {
  const bool filesStay = RunTick();
  quietUntil_ = filesStay ? std::chrono::steady_clock::now() + kQuietAfterIdleWake
                          : std::chrono::steady_clock::time_point{};
}

void TTickSchedule::FollowDropFolder(const std::string& folder) {
  if (folder.empty()) return;
  // A watch that holds needs nothing; one that failed is tried again at every tick.
  if (folder == followed_ && (!watch_ || watch_->Watching())) return;
  TDropWatchFacts facts;
  facts.folder = folder;
  facts.events = following_.events;
  facts.pollSetting = following_.pollSetting;
  facts.tickMs = tickMs_;
  TFolderKind kind;
  if (GetFolderKind(folder, kind, facts.kindError)) facts.kind = kind;
  if (watch_) facts.watch = watch_->Watch(folder, facts.watchError) ? woWatched : woNotWatched;
  const TDropWatchPlan plan = PlanDropWatch(facts);
  if (folder != followed_) dropPoll_.Forget();
  followed_ = folder;
  if (plan.pollMs == 0) {
    pollTimer_.SetEnabled(false);
  } else if (!pollTimer_.Enabled() || pollTimer_.Interval() != plan.pollMs) {
    pollTimer_.SetEnabled(false);
    pollTimer_.SetInterval(plan.pollMs);
    pollTimer_.SetEnabled(true);
  }
  if (plan.line == watchLine_) return;  // said once, however many ticks find it so
  watchLine_ = plan.line;
  if (log_) log_->AddLine(plan.line);
}

void TTickSchedule::PollDropFolder() {
  // Between ticks only; a stop that has begun ends the polls.
  std::unique_lock<std::timed_mutex> hold(tickLock_, std::try_to_lock);
  if (!hold.owns_lock() || stopping_ || stop_ || followed_.empty()) return;
  std::vector<TListedFile> listing;
  ListCardFileStamps(followed_, listing);  // a folder that cannot be listed has nothing new
  hold.unlock();
  if (dropPoll_.ShouldWake(listing, std::chrono::steady_clock::now())) Wake();
}

bool TTickSchedule::HourStruck(TDateTime now, bool stopping) {
  if (stopping) return false;  // the tick ends; the pass is owed to the next run
  if (DecodeDateTime(now).minute == 0 && !hourPassRan_) {
    hourPassRan_ = true;
    return true;
  }
  hourPassRan_ = false;
  return false;
}

bool TTickSchedule::PassCanWait() {
  if (!wakePending_) return false;  // nothing more on its way
  const auto now = std::chrono::steady_clock::now();
  if (!passWaitsSince_) passWaitsSince_ = now;
  return now - *passWaitsSince_ < kPassWaitsAtMost;
}

bool TTickSchedule::PassRunsNow(const TPassFacts& facts) {
  return facts.owed && !facts.stopping && facts.reached && !PassCanWait();
}

void TTickSchedule::PassSettled(bool owed) {
  if (!owed) passWaitsSince_.reset();
}

void TTickSchedule::ArmDue(TDateTime next, TDateTime now, bool owed) {
  dueTimer_.SetEnabled(false);
  // A pass that is owed (cut off, or the database away) is the next tick's: arming for a
  // start already past would only spin.
  if (next == 0 || stopping_ || stop_ || owed) return;
  double ms = (next - now) * 86400.0 * 1000 + kDueMarginMs;
  if (ms < kDueMarginMs) ms = kDueMarginMs;
  if (ms > kDueLongestMs) ms = kDueLongestMs;
  dueTimer_.SetInterval(static_cast<unsigned>(ms));
  dueTimer_.SetEnabled(true);
}

}  // namespace fw

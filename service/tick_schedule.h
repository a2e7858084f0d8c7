// TTickSchedule: when the service's tick runs, and the one rule for when its future-card pass
// runs. A tick comes every tick interval; early when the drop folder's watch hears of a card
// file, when the poll's listing of a drop folder on a share finds a new or changed one (both
// through Wake), and when the earliest staged start comes (the due timer). A woken tick that
// left the files it found where they were holds the next wake back for a quiet second.
//
// Threads: the ticks, the poll and the timers' handlers run on the main thread (the event
// loop's). Wake may be called from any thread (the watch calls it from its own); it only posts
// to the main thread. Start and Stop run on the service thread.
// Ownership: the schedule owns its timers, the watch and the poll; the tick body, the log and
// the stop flag are the caller's and must outlive it (the destructor ends no tick: Stop first).
// Failures: a drop folder that cannot be watched is said once in the log and tried again at
// every tick; one that cannot be listed has nothing new; the ticks go on either way.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "log/messlog.h"
#include "platform/datetime.h"
#include "platform/folder_watch.h"
#include "platform/service_host.h"
#include "service/drop_poll.h"

namespace fw {

// How the drop folder is to be followed, from the registry.
struct TDropFollowing {
  TEventsSetting events = esEventsOn;
  std::optional<int32_t> pollSetting;  // CardFilePollMs
};

// What the pass rule asks of the tick that has scanned.
struct TPassFacts {
  bool owed = false;      // TCardIntake::PassOwed
  bool stopping = false;  // a stop has been asked for
  // The tick reached the database: it connected, and its scan either read the folders or
  // staged files before a connection was lost (their pass stops by itself where the main
  // connection is gone too).
  bool reached = false;
};

class TTickSchedule {
 public:
  // `tick` is the tick's body; it returns true when it listed card files and picked up or
  // rejected none (they stay where they were). `due` runs before a tick that the earliest
  // staged start brings. `stop` is the service's stop flag: once set no tick starts.
  TTickSchedule(TEventLoop& loop, unsigned tickMs, const std::atomic<bool>& stop,
                std::function<bool()> tick, std::function<void()> due);
  ~TTickSchedule();
  TTickSchedule(const TTickSchedule&) = delete;
  TTickSchedule& operator=(const TTickSchedule&) = delete;

  // Service thread: the ticks begin; with events or a poll, the first one at once, to set the
  // watch or the poll up and pick up what waited meanwhile.
  void Start(TMessLog& log, const TDropFollowing& following);
  // Service thread: no tick starts after this, and one that runs has ended when it returns;
  // `whileWaiting` is called about every 250 ms meanwhile.
  void Stop(const std::function<void()>& whileWaiting);

  // Any thread: the next tick runs as soon as the main thread is free; a burst of calls
  // before it starts makes one tick.
  void Wake();

  // In a tick: keeps the watch and the poll on the drop folder (it may change at any tick).
  void FollowDropFolder(const std::string& folder);
  // The drop folder the watch and the poll follow; empty before the first tick read one.
  const std::string& DropFolder() const { return followed_; }

  // In a tick, once a tick: true on the first tick of minute 0 of the wall clock `now`, false
  // on the tick after it, true again on a third (a stop in between changes nothing).
  bool HourStruck(TDateTime now, bool stopping);
  // In a tick after its scan: the pass runs when it is owed, nothing stops the tick, the
  // database was reached, and no more card files are on their way (a wake is pending): a
  // burst of files gets one pass after its last scan, waiting at most a second for it.
  bool PassRunsNow(const TPassFacts& facts);
  // In a tick, after the pass: a pass no longer owed ends the wait for the burst.
  void PassSettled(bool owed);
  // At the end of a tick: the due timer is armed for the earliest staged start (`next`, 0 for
  // none) as the service's clock tells `now`; not while a pass is owed (the next tick's).
  void ArmDue(TDateTime next, TDateTime now, bool owed);

 private:
  // What the body returned; false when no tick ran.
  bool RunTick();
  void WokenTick();
  void PollDropFolder();
  bool PassCanWait();

  TEventLoop& loop_;
  const unsigned tickMs_;
  const std::atomic<bool>& stop_;
  std::function<bool()> tick_;
  std::function<void()> due_;
  TMessLog* log_ = nullptr;
  TDropFollowing following_;

  TTimer tickTimer_;
  TTimer dueTimer_;   // the earliest staged start (armed after every tick)
  TTimer wakeTimer_;  // a wake held back after a woken tick that left files where they were
  TTimer pollTimer_;  // lists a drop folder that is polled, between ticks

  std::unique_ptr<TFolderWatcher> watch_;  // null when the registry turns events off
  std::atomic<bool> wakePending_{false};
  TDropPoll dropPoll_;
  std::string followed_;   // the drop folder the watch and the poll were last set up for
  std::string watchLine_;  // the last line that said how it is watched
  std::optional<std::chrono::steady_clock::time_point> passWaitsSince_;
  std::chrono::steady_clock::time_point quietUntil_{};
  bool hourPassRan_ = false;   // the last tick ran the pass of minute 0
  std::timed_mutex tickLock_;  // held for the whole of a tick
  bool stopping_ = false;
};

}  // namespace fw

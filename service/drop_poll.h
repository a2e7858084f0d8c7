// How the service learns of card files in the drop folder, beside the 25-second tick: the
// folder watch (events), a poll of the folder's listing, or both. A drop folder on a file
// system that raises no events for other hosts' writes (a network share, a FUSE mount) is
// polled by default, every CardFilePollMs (1000); a local one only when CardFilePollMs says so.
//
// Threads: the poll runs on the main thread, from the poll timer of service/tick_schedule.h,
// between ticks (never during one). It only lists (names, sizes, modification times: no open,
// no hash, no database) and wakes the tick as the watch does; only the tick stages, so a file
// that both the watch and the poll see is still staged once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/conn_params.h"
#include "platform/folder.h"
#include "platform/folder_poll.h"

namespace fw {

// Default poll interval of a drop folder without events for other hosts' writes, and the
// shortest interval a setting may ask for.
constexpr unsigned kDefaultSharePollMs = 1000;
constexpr unsigned kShortestPollMs = 100;

enum TEventsSetting { esEventsOff, esEventsOn };  // CardFileEvents
enum TWatchOutcome { woWatched, woNotWatched, woNotTried };

// What decides how the drop folder is watched.
struct TDropWatchFacts {
  std::string folder;
  TEventsSetting events = esEventsOn;
  std::optional<int32_t> pollSetting;  // CardFilePollMs; none when the registry lacks it
  // The folder's file system, or why it is not known (a folder that does not exist).
  std::optional<TFolderKind> kind;
  std::string kindError;
  TWatchOutcome watch = woNotTried;
  std::string watchError;  // with woNotWatched
  unsigned tickMs = 0;
};

struct TDropWatchPlan {
  bool events = false;  // the watch runs on the folder
  unsigned pollMs = 0;  // 0: no poll
  bool share = false;   // the file system raises no events for other hosts' writes
  // Why: the log's line at start and when the folder changes; status shows it too.
  std::string line;
  // Short, for `fenwoldctl status`: "events", "listed every 1000 ms", "events, listed …",
  // "the tick only".
  std::string way;
};

TDropWatchPlan PlanDropWatch(const TDropWatchFacts& facts);

// The plan as fenwoldctl sees it from outside the service: the registry's settings and the
// folder's file system, with the watch taken to work where events are on.
TDropWatchPlan PlanDropWatchFromOutside(const std::string& folder, const TConnParams& params,
                                        unsigned tickMs);

// Decides from successive listings of one folder whether the tick should come now. Main
// thread only; holds the last listing.
class TDropPoll {
 public:
  using TClock = std::chrono::steady_clock;
  // A file that stays unchanged (busy, still settling, the database away) is looked at again
  // this often, not at every poll: each tick reads `settings`.
  static constexpr auto kRecheckWaiting = std::chrono::seconds(5);

  // True when the listing has a card file that the last one did not have with this stamp, or
  // when files wait and the last wake is kRecheckWaiting ago. Files that went away wake
  // nothing: there is nothing to stage.
  bool ShouldWake(const std::vector<TListedFile>& listing, TClock::time_point now);
  // A new folder: its first listing wakes the tick if it has files.
  void Forget();

 private:
  std::vector<TListedFile> last_;
  TClock::time_point lastWake_{};
};

}  // namespace fw

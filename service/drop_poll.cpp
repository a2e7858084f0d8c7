#include "service/drop_poll.h"

#include <algorithm>

namespace fw {
namespace {

std::string Every(unsigned ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

unsigned PollMs(const TDropWatchFacts& f) {
  if (f.pollSetting) {
    if (*f.pollSetting <= 0) return 0;
    return std::max(static_cast<unsigned>(*f.pollSetting), kShortestPollMs);
  }
  const bool share = f.kind && f.kind->events == erThisHostOnly;
  return share || f.watch == woNotWatched ? kDefaultSharePollMs : 0;
}

}  // namespace

TDropWatchPlan PlanDropWatch(const TDropWatchFacts& f) {
  TDropWatchPlan plan;
  plan.events = f.events == esEventsOn && f.watch != woNotWatched;
  plan.pollMs = PollMs(f);
  plan.share = f.kind && f.kind->events == erThisHostOnly;
  const std::string listed = "listed every " + std::to_string(plan.pollMs) + " ms";
  const std::string ticks = "card files are picked up every " + Every(f.tickMs);
  std::string how;
  if (plan.events && plan.pollMs > 0) {
    how = "watched for events and " + listed;
  } else if (plan.events) {
    how = "watched for events";
  } else if (plan.pollMs > 0) {
    how = listed;
  } else {
    how = ticks;
  }
  std::string why;
  if (f.watch == woNotWatched) {
    why = "cannot be watched (" + f.watchError + ")";
    // Without a poll, the line the service has always written here.
    plan.line = "Drop folder " + f.folder + " " + why + (plan.pollMs > 0 ? ": " : "; ") + how;
  } else {
    if (!f.kind) {
      why = "is on a file system that cannot be told (" + f.kindError + ")";
    } else if (f.kind->events == erThisHostOnly) {
      why = "is on " + f.kind->place + ", which raises no events for other hosts' writes";
    } else {
      why = "is on " + f.kind->place;
    }
    // The settings that turned off what this folder would have had.
    std::string off;
    if (f.events == esEventsOff) off = "CardFileEvents";
    if (f.pollSetting && plan.pollMs == 0 && f.kind && f.kind->events == erThisHostOnly) {
      off += off.empty() ? "CardFilePollMs is 0: " : " and CardFilePollMs are 0: ";
    } else if (!off.empty()) {
      off += " is 0: ";
    }
    how = off + how;
    plan.line = "Drop folder " + f.folder + " " + why + ": " + how;
  }
  plan.way = how + " (" + why + ")";
  return plan;
}

TDropWatchPlan PlanDropWatchFromOutside(const std::string& folder, const TConnParams& params,
                                        unsigned tickMs) {
  TDropWatchFacts facts;
  facts.folder = folder;
  facts.events = params.CardFileEvents ? esEventsOn : esEventsOff;
  facts.pollSetting = params.CardFilePollMs;
  facts.tickMs = tickMs;
  TFolderKind kind;
  if (GetFolderKind(folder, kind, facts.kindError)) facts.kind = kind;
  return PlanDropWatch(facts);
}

bool TDropPoll::ShouldWake(const std::vector<TListedFile>& listing, TClock::time_point now) {
  // Both listings are sorted by name.
  bool fresh = false;
  auto old = last_.begin();
  for (const TListedFile& file : listing) {
    while (old != last_.end() && old->name < file.name) ++old;
    if (old == last_.end() || !(*old == file)) {
      fresh = true;
      break;
    }
  }
  last_ = listing;
  const bool wake = fresh || (!listing.empty() && now - lastWake_ >= kRecheckWaiting);
  if (wake) lastWake_ = now;
  return wake;
}

void TDropPoll::Forget() {
  last_.clear();
  lastWake_ = {};
}

}  // namespace fw

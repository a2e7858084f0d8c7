// The check of `fenwoldctl check` that says how the service will learn of card files in the
// drop folder: events, a poll of a share, or the tick alone.
#include "service/drop_poll.h"
#include "service/run_settings.h"
#include "tools/ctl_check.h"

namespace fw {
namespace {

TCheckResult CheckDropWatch(TCheckContext& c) {
  if (!c.settingsRead) return {TCheckStatus::kSkip, "settings not read", ""};
  const auto it = c.settings.find("AUDITS_DIR");
  if (it == c.settings.end() || it->second.empty()) {
    return {TCheckStatus::kSkip, "no drop folder in settings", ""};
  }
  const TDropWatchPlan plan =
      PlanDropWatchFromOutside(it->second, c.params, RunSettingsFromEnvironment().tickMs);
  // Files left to the tick wait 12 s on average.
  const bool slow = plan.pollMs == 0 && (plan.share || !plan.events);
  return {slow ? TCheckStatus::kWarn : TCheckStatus::kPass, plan.way, ""};
}

const TCheck kDropWatch(405, "drop folder watch", CheckDropWatch);

}  // namespace
}  // namespace fw

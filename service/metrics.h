// The service's metrics in the Prometheus text format, for node_exporter's textfile collector
// (Linux) and windows_exporter's (Windows): the service opens no port of its own. The file is
// rewritten whole after every tick, atomically, so a collector never reads half of it.
// Counters count since the service started (a restart sets them back to 0, which Prometheus'
// rate() takes for a reset).
// FormatMetrics is a pure function of what it is given, any thread; the service writes the
// file from its tick (service/upkeep.h).
#pragma once

#include <string>

#include "intake/card_intake.h"

namespace fw {

struct TMetrics {
  TIntakeTally tally;
  long long dueNow = -1, waiting = -1;  // staged records; -1: not read (left out)
  long long filesWaiting = -1;          // card files in the drop folder after the tick
  long long oldestWaitingSec = -1;      // the oldest of them; 0 when none waits
  bool dbReachable = false;
  double lastSuccessUnix = 0;           // end of the last tick that reached the database; 0: none
  double lastTickSeconds = 0;
};

std::string FormatMetrics(const TMetrics& metrics);

}  // namespace fw

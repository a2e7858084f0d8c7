// A service's metrics after a busy while, every value known: what the metrics suites format.
#pragma once

#include "service/metrics.h"

namespace fw::test {

inline TMetrics BusyMetrics() {
  TMetrics m;
  m.tally.pickedUp = 12;
  m.tally.rejected = 1;
  m.tally.held = 3;
  m.tally.alreadyStaged = 2;
  m.tally.linesRejected = 10;
  m.tally.applied = 40;
  m.tally.waiting = 5;
  m.dueNow = 0;
  m.waiting = 7;
  m.filesWaiting = 2;
  m.oldestWaitingSec = 75;
  m.dbReachable = true;
  m.lastSuccessUnix = 1796810000.25;
  m.lastTickSeconds = 0.125;
  return m;
}

}  // namespace fw::test

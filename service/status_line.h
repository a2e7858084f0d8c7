// The service's status line: what it did since it started, and whether it reaches the database.
// A pure function of what it is given; any thread.
#pragma once

#include <string>

#include "intake/card_intake.h"

namespace fw {

// "last pickup ...; picked up N, rejected N; applied N, waiting N[; database unreachable
// since ...]"; `unreachableSince` 0 while the database is reachable.
std::string StatusDetails(const TIntakeTally& tally, TDateTime unreachableSince);

}  // namespace fw

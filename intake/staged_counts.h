// How many staged records there are, as a monitoring check sees them: due now (the pass
// applies a record whose start has passed or whose card does not exist yet) and waiting for
// their start.
#pragma once

#include <string>

#include "db/odbc.h"
#include "platform/datetime.h"

namespace fw {

struct TStagedCounts {
  long long due = -1, waiting = -1;  // -1: could not be read
  std::string earliest;              // the first start among the waiting, "YYYY-MM-DD hh:mm:ss"
};
// False when futurecard cannot be read.
bool CountStaged(TODBC& db, TDateTime now, TStagedCounts& counts);

}  // namespace fw

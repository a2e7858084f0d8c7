// The checks of `fenwoldctl check` that belong to card intake: the card tables with the
// columns the service uses, and the three folders named in settings.
#pragma once

#include <string>
#include <vector>

#include "db/odbc.h"

namespace fw {

struct TCheckResult {
  bool ok = false;
  std::string text;  // one line: what was checked and, on failure, why
};

// One result per table: the table exists with every column the service reads or writes.
std::vector<TCheckResult> CheckCardTables(TODBC& db);
// One result per folder of the first settings row: set, existing and writable.
std::vector<TCheckResult> CheckCardFolders(TODBC& db);

}  // namespace fw

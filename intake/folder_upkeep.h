// Upkeep of the card folders that nothing else tends: the done folder grows by every staged
// file (200 a day is 73,000 a year) unless a retention removes the old ones. The error folder
// is never cleaned here: what lies there waits for a person.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

struct TFolderUsage {
  long long files = 0;  // regular files, hidden ones left out
  uint64_t bytes = 0;
};
TFolderUsage FolderUsage(const std::string& folder);

struct TFolderPrune {
  long long removed = 0;
  uint64_t bytes = 0;
  long long failed = 0;  // old enough, but they could not be removed
};
// Removes the card files (*.csv) of `folder` that arrived there more than `days` days before
// `now` (seconds since 1970); nothing when `days` is 0 or less.
TFolderPrune PruneOldCardFiles(const std::string& folder, int days, int64_t now);

// "Removed N card file(s) older than D day(s) from FOLDER (X MB)[; N could not be removed]"
std::string PruneLine(const TFolderPrune& prune, int days, const std::string& folder);

}  // namespace fw

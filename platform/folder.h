// The drop-folder operations of card intake.
#pragma once

#include <string>
#include <vector>

namespace fw {

// Names (not paths) of the card files in `folder`, in listing order: "*.csv" in any letter
// case, regular files only; folders, hidden entries and links are skipped.
std::vector<std::string> ListCardFiles(const std::string& folder);

// True when no other process holds the file and it may be written; the test handle is
// released at once.
bool ExclusiveOpenTest(const std::string& path);

// Moves `source` to `target`, replacing it; after a true result the file is in exactly one
// place even across a power cut.
bool MoveFileReplacing(const std::string& source, const std::string& target);

// A folder exists and a file can be created in it.
bool FolderWritable(const std::string& folder);

}  // namespace fw

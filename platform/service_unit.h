// The systemd unit of the service, its sandbox, and the drop-in that opens the card folders to
// it. Windows has no units: there the texts are empty and UnitsSupported() is false.
#pragma once

#include <string>
#include <vector>

namespace fw {

// The account the service runs under when it exists.
extern const char kServiceAccount[];

struct TUnitOptions {
  std::string displayName;
  std::string executablePath;
  std::string registryPath;  // empty: the variable is left out
  std::string logDir;        // empty: the log goes beside the executable
  bool asAccount = false;    // User=/Group= kServiceAccount and the sandbox
};

bool UnitsSupported();
// Where units go: $FENWOLD_UNIT_DIR, else /etc/systemd/system.
std::string UnitFolder();
bool ServiceAccountExists(const std::string& account = kServiceAccount);
std::string ServiceUnitText(const TUnitOptions& options);
// The drop-in that adds the folders to the sandbox's writable paths.
std::string FoldersDropInText(const std::vector<std::string>& folders);
// Where the drop-in goes for the unit folder `unitDir`.
std::string FoldersDropInPath(const std::string& unitDir);
// The writable paths a drop-in names, as FoldersDropInText wrote them.
std::vector<std::string> FoldersInDropIn(const std::string& text);
enum TAccountWrite {
  awWritable,
  awNotWritable,
  awNotAsked,   // no such account, or not root: nobody here can ask as it
  awAskFailed,  // the child that was to become the account could not
};
// Whether `account` can create files in `folder`, as the kernel answers the account itself.
TAccountWrite FolderWritableForAccount(const std::string& folder, const std::string& account);

}  // namespace fw

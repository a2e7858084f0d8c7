// The checks of `fenwoldctl check` that concern the machine rather than the database: who may
// read the registry file, and whether the card folders are writable inside the sandbox.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "platform/service_unit.h"
#include "tools/ctl_check.h"

namespace fw {
namespace {

bool Covers(const std::string& root, const std::string& path) {
  return path == root || (path.rfind(root, 0) == 0 && (root.back() == '/' || path[root.size()] == '/'));
}

TCheckResult CheckRegistryFile(TCheckContext&) {
  const std::string exposure = RegistryExposure();
  if (!exposure.empty()) return {TCheckStatus::kWarn, exposure, ""};
  return {TCheckStatus::kPass, "not readable by others", ""};
}

TCheckResult CheckSandbox(TCheckContext& c) {
  if (!UnitsSupported() || !ServiceAccountExists(c.account)) {
    return {TCheckStatus::kSkip, "no service account: the service runs as root, unsandboxed", ""};
  }
  if (!c.settingsRead) return {TCheckStatus::kSkip, "settings not read", ""};
  const std::string path = FoldersDropInPath(UnitFolder());
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::vector<std::string> open = FoldersInDropIn(text.str());
  std::string outside;
  for (const char* column : {"AUDITS_DIR", "DTLFILES_DIR", "DTLERRORS_DIR"}) {
    const auto it = c.settings.find(column);
    if (it == c.settings.end() || it->second.empty()) continue;
    std::string folder = it->second;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    bool covered = false;
    for (const std::string& root : open) covered = covered || Covers(root, folder);
    if (!covered) outside += (outside.empty() ? "" : ", ") + folder;
  }
  if (outside.empty()) return {TCheckStatus::kPass, "the card folders are writable in " + path, ""};
  return {TCheckStatus::kWarn,
          "not writable inside the service's sandbox: " + outside +
              " (fenwoldctl folders --write-unit, then restart fenwold)",
          ""};
}

const TCheck kRegistry(105, "registry file", CheckRegistryFile);
const TCheck kSandbox(430, "sandbox", CheckSandbox);

}  // namespace
}  // namespace fw

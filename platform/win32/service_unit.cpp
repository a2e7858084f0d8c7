// Windows services have no unit files; the service manager keeps their settings.
#include "platform/service_unit.h"

namespace fw {

const char kServiceAccount[] = "fenwold";

bool UnitsSupported() {
  return false;
}
std::string UnitFolder() {
  return {};
}
bool ServiceAccountExists(const std::string&) {
  return false;
}
std::string ServiceUnitText(const TUnitOptions&) {
  return {};
}
std::string FoldersDropInText(const std::vector<std::string>&) {
  return {};
}
std::string FoldersDropInPath(const std::string&) {
  return {};
}

std::vector<std::string> FoldersInDropIn(const std::string&) {
  return {};
}
TAccountWrite FolderWritableForAccount(const std::string&, const std::string&) {
  return awNotAsked;
}

}  // namespace fw

#include "platform/ini_file.h"

#include <windows.h>

#include <string_view>
#include <vector>

#include "platform/strings.h"

namespace fw {
namespace {}  // namespace

void ReadIniSection(
    const std::string& path, const std::string& section,
    const std::function<void(const std::string& name, const std::string& value)>& onValue) {
  // The section comes back as "name=value\0...\0\0"; a result two short of the buffer means
  // it was cut, so try again with more room.
  std::vector<char> buf(4096);
  DWORD n = 0;
  for (;;) {
    n = GetPrivateProfileSectionA(section.c_str(), buf.data(), static_cast<DWORD>(buf.size()),
                                  path.c_str());
    if (n + 2 < buf.size() || buf.size() >= (1u << 20)) break;
    buf.resize(buf.size() * 4);
  }
  std::string_view all(buf.data(), n);
  while (!all.empty()) {
    const size_t end = all.find('\0');
    const std::string_view entry = all.substr(0, end);
    all.remove_prefix(end == std::string_view::npos ? all.size() : end + 1);
    const size_t eq = entry.find('=');
    if (eq == std::string_view::npos || entry.front() == ';') continue;
    onValue(TrimBlanks(entry.substr(0, eq)), TrimBlanks(entry.substr(eq + 1)));
  }
}

}  // namespace fw

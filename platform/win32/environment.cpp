#include "platform/environment.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace fw {

// getenv would hand over the value in the ANSI code page.
std::string EnvironmentValue(const char* name) {
  const std::wstring wideName = Wide(name);
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD n =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};
    if (n < value.size()) return Utf8(std::wstring_view(value.data(), n));
    value.resize(n);
  }
}

}  // namespace fw

#include "platform/eventlog.h"

#include <windows.h>

#include "platform/win32/wide.h"

namespace fw {

void ReportEventError(const std::string& source, const std::string& text) {
  HANDLE h = RegisterEventSourceW(nullptr, Wide(source).c_str());
  if (h == nullptr) return;
  const std::wstring wide = Wide(text);
  const wchar_t* strings[1] = {wide.c_str()};
  ReportEventW(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(h);
}

}  // namespace fw

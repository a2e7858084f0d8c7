#include "platform/eventlog.h"

#include <windows.h>

namespace fw {

void ReportEventError(const std::string& source, const std::string& text) {
  HANDLE h = RegisterEventSourceA(nullptr, source.c_str());
  if (h == nullptr) return;
  const char* strings[1] = {text.c_str()};
  ReportEventA(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(h);
}

}  // namespace fw

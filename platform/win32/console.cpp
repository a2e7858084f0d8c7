#include "platform/console.h"

#include <windows.h>

#include <cstdlib>

namespace fw {
namespace {

UINT consoleCodePage = 0;

void RestoreConsoleCodePage() {
  if (consoleCodePage != 0) SetConsoleOutputCP(consoleCodePage);
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

void UseUtf8Console() {
  if (consoleCodePage != 0 || (!IsConsole(STD_OUTPUT_HANDLE) && !IsConsole(STD_ERROR_HANDLE))) {
    return;
  }
  const UINT previous = GetConsoleOutputCP();
  if (previous == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  consoleCodePage = previous;
  std::atexit(RestoreConsoleCodePage);
}

}  // namespace fw

#include "platform/dynlib.h"

#include <windows.h>

#include <cstdint>

namespace fw {

TDynLib LoadOdbcLibrary() {
  HMODULE h = LoadLibraryW(L"ODBC32.DLL");
  // Handles below 32 are the loader's old error codes.
  if (reinterpret_cast<uintptr_t>(h) < 32) return nullptr;
  return h;
}

void* DynLibSymbol(TDynLib lib, const char* name) {
  if (lib == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

void FreeDynLib(TDynLib lib) {
  if (lib != nullptr) FreeLibrary(static_cast<HMODULE>(lib));
}

}  // namespace fw

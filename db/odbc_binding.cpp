#include "db/odbc_binding.h"

#include <mutex>

#include "platform/dynlib.h"

namespace fw {

TODBCEntryPoints OdbcApi;

const char* const OdbcEntryPointNames[OdbcEntryPointCount] = {
#define FW_ODBC_NAME(name) #name,
    FW_ODBC_ENTRY_POINTS(FW_ODBC_NAME)
#undef FW_ODBC_NAME
};

namespace {

std::mutex bindingLock;
TDynLib boundLibrary = nullptr;
int bindings = 0;  // load references held by live bindings

// Looks the names up in table order into `table`; false at the first missing one.
bool Resolve(TDynLib lib, TODBCEntryPoints& table) {
#define FW_ODBC_RESOLVE(name)                               \
  if (void* p = DynLibSymbol(lib, #name)) {                 \
    table.name = reinterpret_cast<decltype(table.name)>(p); \
  } else {                                                  \
    return false;                                           \
  }
  FW_ODBC_ENTRY_POINTS(FW_ODBC_RESOLVE)
  if constexpr (kOdbcWideText) {
    FW_ODBC_WIDE_ENTRY_POINTS(FW_ODBC_RESOLVE)
  }
#undef FW_ODBC_RESOLVE
  return true;
}

}  // namespace

bool LoadODBC() {
  std::lock_guard<std::mutex> guard(bindingLock);
  TDynLib lib = LoadOdbcLibrary();
  if (lib == nullptr) return false;
  // Resolved into a local table first: a failed binding must never leave live connections
  // calling through pointers into a library that is being unloaded.
  TODBCEntryPoints table;
  if (!Resolve(lib, table)) {
    FreeDynLib(lib);
    return false;
  }
  if (bindings > 0 && lib != boundLibrary) {
    // Another driver manager while one is in use: the table can serve only one.
    FreeDynLib(lib);
    return false;
  }
  if (bindings == 0) {
    // Nobody calls through the table now, so writing it races with no reader.
    OdbcApi = table;
    boundLibrary = lib;
  }
  ++bindings;
  return true;
}

int OdbcBindings() {
  std::lock_guard<std::mutex> guard(bindingLock);
  return bindings;
}

void UnloadODBC() {
  std::lock_guard<std::mutex> guard(bindingLock);
  if (bindings == 0) return;
  --bindings;
  FreeDynLib(boundLibrary);
}

}  // namespace fw

#if defined(__SANITIZE_ADDRESS__)
// MariaDB Connector/ODBC 3.1 loses a few strings per connect (measured: about 15 bytes each);
// not ours to mend, and reported by every sanitizer run of every binary that connects.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libmaodbc.so\n";
}
#endif

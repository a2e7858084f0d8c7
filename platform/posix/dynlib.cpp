#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cstdlib>

namespace fw {

// RTLD_NODELETE: the load references are counted, but the driver manager and the drivers it
// loaded stay mapped after the last one is given back. Unmapping them would turn the memory
// they keep in globals into leaks, and leave their exit handlers and thread-key destructors
// pointing at unmapped code.
TDynLib LoadOdbcLibrary() {
  // An explicit choice is taken as it is: no fallback that could hide a wrong setting.
  if (const char* lib = std::getenv("FENWOLD_ODBC_LIB"); lib != nullptr && *lib != '\0') {
    return dlopen(lib, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  }
  // The unversioned name exists only where the development package is installed.
  if (TDynLib h = dlopen("libodbc.so.2", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) return h;
  return dlopen("libodbc.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

void* DynLibSymbol(TDynLib lib, const char* name) {
  return lib ? dlsym(lib, name) : nullptr;
}

void FreeDynLib(TDynLib lib) {
  if (lib != nullptr) dlclose(lib);
}

}  // namespace fw

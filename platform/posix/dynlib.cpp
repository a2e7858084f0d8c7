#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cstdlib>

namespace fw {

TDynLib LoadOdbcLibrary() {
  // An explicit choice is taken as it is: no fallback that could hide a wrong setting.
  if (const char* lib = std::getenv("FENWOLD_ODBC_LIB"); lib != nullptr && *lib != '\0') {
    return dlopen(lib, RTLD_NOW | RTLD_LOCAL);
  }
  // The unversioned name exists only where the development package is installed.
  if (TDynLib h = dlopen("libodbc.so.2", RTLD_NOW | RTLD_LOCAL)) return h;
  return dlopen("libodbc.so", RTLD_NOW | RTLD_LOCAL);
}

void* DynLibSymbol(TDynLib lib, const char* name) {
  return lib ? dlsym(lib, name) : nullptr;
}

void FreeDynLib(TDynLib lib) {
  if (lib != nullptr) dlclose(lib);
}

}  // namespace fw

// Run-time loading of the ODBC driver manager: the program is never linked against it.
#pragma once

namespace fw {

using TDynLib = void*;

// Loads the platform's ODBC driver manager library (ODBC32.DLL; libodbc.so.2 or libodbc.so,
// or $FENWOLD_ODBC_LIB when set). Each non-null result holds one load reference, given back
// with FreeDynLib. nullptr when the library cannot be loaded.
TDynLib LoadOdbcLibrary();

// The address of an exported function; nullptr when the library has no such name.
void* DynLibSymbol(TDynLib lib, const char* name);

void FreeDynLib(TDynLib lib);

}  // namespace fw

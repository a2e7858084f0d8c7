// The test process's hold on the fault-injecting driver manager it runs on (FENWOLD_ODBC_LIB
// names the shim, FENWOLD_ODBC_FAULTS_LIB is its path in the build). Bind only after the
// first connection: the shim is loaded by the binding, never by this.
#pragma once

#include <dlfcn.h>

#include "tests/support/odbc_faults/odbc_faults.h"

namespace fw::test {

struct TFaultControl {
  TFaultArm arm = nullptr;
  TFaultDisarm disarm = nullptr;
  TFaultCount count = nullptr;
  TFaultFired fired = nullptr;
  TFaultExitAfterCommit exitAfterCommit = nullptr;

  // False when the shim is not loaded in this process (the database ran on another library).
  bool Bind() {
    void* lib = dlopen(FENWOLD_ODBC_FAULTS_LIB, RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return false;
    arm = reinterpret_cast<TFaultArm>(dlsym(lib, "fw_faults_arm"));
    disarm = reinterpret_cast<TFaultDisarm>(dlsym(lib, "fw_faults_disarm"));
    count = reinterpret_cast<TFaultCount>(dlsym(lib, "fw_faults_count"));
    fired = reinterpret_cast<TFaultFired>(dlsym(lib, "fw_faults_fired"));
    exitAfterCommit =
        reinterpret_cast<TFaultExitAfterCommit>(dlsym(lib, "fw_faults_exit_after_commit"));
    dlclose(lib);  // the binding keeps its own reference
    return arm && disarm && count && fired && exitAfterCommit;
  }
};

}  // namespace fw::test

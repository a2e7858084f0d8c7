// A service that sees a folder through a FUSE mount of its own, as a host sees a network
// share: bindfs mounts `backing` on `mountPoint` in a fresh mount namespace and `binary` runs
// there. Files written into `backing` are then another host's writes to the service: no
// inotify event reaches its mount. A stop (SIGTERM) is passed on to the service; the mount
// goes with the namespace's last process, so nothing outlives the test.
#pragma once

#include <string>

#include "tests/support/fenwold_process.h"

namespace fw::test {

bool StartInOwnMount(TChildProcess& service, const std::string& backing,
                     const std::string& mountPoint, const std::string& binary, const TEnv& env,
                     const std::string& out);

}  // namespace fw::test

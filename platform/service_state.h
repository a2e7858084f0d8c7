// The service manager's view of a service, for fenwoldctl status.
#pragma once

#include <string>

namespace fw {

// "running", "paused", "stopped", "failed", "restarting", "start pending", "stop pending",
// "not installed", ...; "unknown" where no service manager can be asked.
std::string QueryServiceState(const std::string& serviceName);

}  // namespace fw

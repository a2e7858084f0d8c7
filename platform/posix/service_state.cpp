// Linux: systemd's view of the unit, asked over the system bus; "unknown" where systemd does
// not run (a container, a terminal session).
#include "platform/service_state.h"

#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <cctype>
#include <memory>

#include "platform/strings.h"

namespace fw {
namespace {

std::string Property(sd_bus* bus, const std::string& path, const char* name) {
  char* value = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int rc = sd_bus_get_property_string(bus, "org.freedesktop.systemd1", path.c_str(),
                                            "org.freedesktop.systemd1.Unit", name, &error, &value);
  sd_bus_error_free(&error);
  if (rc < 0 || value == nullptr) return {};
  std::string text = value;
  free(value);
  return text;
}

}  // namespace

std::string QueryServiceState(const std::string& serviceName) {
  struct stat st {};
  if (stat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode)) return "unknown";
  sd_bus* raw = nullptr;
  if (sd_bus_open_system(&raw) < 0) return "unknown";
  std::unique_ptr<sd_bus, sd_bus* (*)(sd_bus*)> bus(raw, sd_bus_flush_close_unref);
  const std::string unit = LowerAscii(serviceName);
  char* encoded = nullptr;
  if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", (unit + ".service").c_str(), &encoded) <
      0) {
    return "unknown";
  }
  const std::string path = encoded;
  free(encoded);
  // Asking by path loads the unit object on demand, so an absent unit answers "not-found".
  const std::string load = Property(bus.get(), path, "LoadState");
  if (load.empty()) return "unknown";
  if (load == "not-found") return "not installed";
  const std::string active = Property(bus.get(), path, "ActiveState");
  const std::string sub = Property(bus.get(), path, "SubState");
  if (active == "active") return sub == "running" ? "running" : "active (" + sub + ")";
  if (active == "inactive") return "stopped";
  if (active == "activating") return sub == "auto-restart" ? "restarting" : "start pending";
  if (active == "deactivating") return "stop pending";
  return active.empty() ? "unknown" : active;
}

}  // namespace fw

#include "platform/environment.h"

#include <cstdlib>

namespace fw {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace fw

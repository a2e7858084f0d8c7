// Environment variables as the system's text (UTF-8); "" when unset.
#pragma once

#include <string>

namespace fw {

std::string EnvironmentValue(const char* name);

}  // namespace fw

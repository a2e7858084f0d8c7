// Reading an INI file, such as a file data source. Windows: the system's own profile reader;
// Linux: inih.
#pragma once

#include <functional>
#include <string>

namespace fw {

// Calls `onValue` for each name=value of `section` (letter case ignored), in file order.
// A missing or unreadable file has no values.
void ReadIniSection(
    const std::string& path, const std::string& section,
    const std::function<void(const std::string& name, const std::string& value)>& onValue);

}  // namespace fw

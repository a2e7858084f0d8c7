// The file version of an executable, as four 16-bit parts, most significant first.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace fw {

using TFileVersion = std::array<uint16_t, 4>;

// `path` empty means the running executable. Windows reads the file's VERSIONINFO resource;
// Linux knows only the running executable's version, compiled in. False when there is none.
bool ReadFileVersion(const std::string& path, TFileVersion& version);

}  // namespace fw

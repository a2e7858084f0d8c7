// Reading an open file at an offset, shared by the held and the read-only file.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace fw {

// Reads `count` bytes from `offset` on, fewer at the end of the file; false on a read error or
// no handle. Defined in files.cpp.
bool ReadHandleAt(HANDLE h, uint64_t offset, size_t count, std::string& out);

}  // namespace fw

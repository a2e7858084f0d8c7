// Encoding names as operators write them, mapped to Windows code page numbers; shared by both
// platforms' text conversion.
#pragma once

#include <string>

namespace fw {

// The Windows code page an encoding name stands for ("utf-8" 65001, "windows-1250" and "cp1250"
// 1250, "iso-8859-2" 28592, "1251" 1251, ...); 0 when the name is none of those forms.
unsigned CodePageOf(const std::string& encoding);

// Bytes in a code unit of the Unicode forms: 2 for UTF-16 and UCS-2 (any spelling and byte
// order, or code page 1200 and 1201), 4 for UTF-32 and UCS-4 (12000, 12001); 1 for any other.
unsigned UnitBytesOf(const std::string& encoding);

}  // namespace fw

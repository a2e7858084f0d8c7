// Encoding names as operators write them, mapped to Windows code page numbers; shared by both
// platforms' text conversion.
#pragma once

#include <string>

namespace fw {

// The Windows code page an encoding name stands for ("utf-8" 65001, "windows-1250" and "cp1250"
// 1250, "iso-8859-2" 28592, "1251" 1251, ...); 0 when the name is none of those forms.
unsigned CodePageOf(const std::string& encoding);

}  // namespace fw

// Text written in a named encoding, converted into the system's own text, UTF-8 on both
// platforms.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fw {

// The code page of 8-bit text that is not UTF-8, when none is set: "windows-1252" on Linux,
// the system's ANSI code page on Windows ("windows-1252", "windows-1250", ...).
std::string DefaultLegacyEncoding();

// True when `encoding` names an encoding that can be read: "utf-8", "utf-16le", "utf-16be",
// "windows-1252", "cp1250", "iso-8859-2", or a Windows code page number ("1251", "65001").
bool IsKnownEncoding(const std::string& encoding);

struct TSystemText {
  std::string text;
  // Characters replaced by U+FFFD: bytes or sequences the encoding does not define.
  size_t replaced = 0;
};

// Converts `bytes` written in `encoding` into the system's text. False when the encoding is
// unknown. A byte-order mark is data here: the caller removes it.
bool ToSystemText(std::string_view bytes, const std::string& encoding, TSystemText& out);

}  // namespace fw

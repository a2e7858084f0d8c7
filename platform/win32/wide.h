// The UTF-16 side of Windows' W functions. Text inside the system is UTF-8; it becomes UTF-16
// only here, at the call, so that no ANSI code page ever takes part (Windows Server 2016 and
// 2019 ignore a UTF-8 code-page manifest, so the A functions would use the code page).
#pragma once

#include <string>
#include <string_view>

namespace fw {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
std::string Utf8(const wchar_t* wide);  // zero-terminated; null gives ""

// The same under the names the service host uses.
inline std::wstring Widen(const std::string& utf8) {
  return Wide(utf8);
}
inline std::string Narrow(const std::wstring& utf16) {
  return Utf8(std::wstring_view(utf16));
}

// A file or folder name for the W functions. An absolute path longer than MAX_PATH gets the
// "\\?\" prefix (UNC paths "\\?\UNC\"), which lifts that limit on every Windows version; such
// a path is taken literally, so '/' becomes '\' first.
std::wstring WidePath(std::string_view utf8);

}  // namespace fw

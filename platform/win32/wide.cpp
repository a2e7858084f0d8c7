#include "platform/win32/wide.h"

#include <windows.h>

#include "platform/utf16.h"

namespace fw {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring Wide(std::string_view utf8) {
  const std::u16string u = Utf8ToUtf16(utf8);
  return std::wstring(reinterpret_cast<const wchar_t*>(u.data()), u.size());
}

std::string Utf8(std::wstring_view wide) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

std::string Utf8(const wchar_t* wide) {
  return wide == nullptr ? std::string() : Utf8(std::wstring_view(wide));
}

std::wstring WidePath(std::string_view utf8) {
  std::wstring path = Wide(utf8);
  const bool absolute =
      path.size() > 2 && ((path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
                          (path[0] == L'\\' && path[1] == L'\\'));
  if (path.size() < MAX_PATH - 12 || !absolute || path.rfind(L"\\\\?\\", 0) == 0) return path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

}  // namespace fw

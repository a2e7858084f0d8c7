// HKEY_LOCAL_MACHINE on Windows, in the 32-bit view where the installation's configuration tool
// keeps its settings.
#include "platform/registry.h"

#include <windows.h>

#include <cwchar>
#include <utility>

#include "platform/win32/wide.h"

namespace fw {

bool TRegKey::Open(const std::string& path) {
  Close();
  const size_t start = path.find_first_not_of('\\');
  const std::string relative = start == std::string::npos ? std::string() : path.substr(start);
  HKEY key = nullptr;
  DWORD disposition = 0;
  // Create-or-open: an absent key is created when the process may create it.
  const LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(relative).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                                  nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) return false;
  handle_ = key;
  return true;
}

void TRegKey::Close() {
  if (handle_ != nullptr) RegCloseKey(static_cast<HKEY>(handle_));
  handle_ = nullptr;
}

bool TRegKey::QueryValue(const std::string& name, TRegData& out) const {
  if (handle_ == nullptr) return false;
  const HKEY key = static_cast<HKEY>(handle_);
  const std::wstring wideName = Wide(name);
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
  std::string bytes;
  // The value may grow between the two calls; ask again until it fits.
  while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
    bytes.resize(size);
    DWORD got = size;
    rc = RegQueryValueExW(key, wideName.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(bytes.data()), &got);
    if (rc == ERROR_SUCCESS) {
      bytes.resize(got);
      break;
    }
    if (rc == ERROR_MORE_DATA) size = got;
  }
  if (rc != ERROR_SUCCESS) return false;
  // Strings come as UTF-16, zero-terminated or not; the system's text is UTF-8.
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    bytes.copy(reinterpret_cast<char*>(text.data()), text.size() * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    bytes = Utf8(text);
  }
  switch (type) {
    case REG_SZ:
      out.type = rdString;
      break;
    case REG_EXPAND_SZ:
      out.type = rdExpandString;
      break;
    case REG_DWORD:
      out.type = rdInteger;
      break;
    case REG_BINARY:
      out.type = rdBinary;
      break;
    default:
      out.type = rdUnknown;
  }
  out.bytes = std::move(bytes);
  return true;
}

std::string RegistryLocation() {
  return "HKEY_LOCAL_MACHINE (32-bit view)";
}

std::string RegistryExposure() {
  return {};
}

}  // namespace fw

#include "tests/support/temp_registry.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>

namespace fw::test {
namespace {

// Runs reg.exe with `args`; its exit code, or -1 when it could not be run.
int RunReg(const std::string& args) {
  std::string line = "reg.exe " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi)) {
    return -1;
  }
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 0;
  if (!GetExitCodeProcess(pi.hProcess, &code)) code = static_cast<DWORD>(-1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

// The keys an export names, below HKEY_LOCAL_MACHINE. UTF-16 exports are read through their low
// bytes, enough for key names in ASCII.
std::vector<std::string> KeysIn(std::string_view bytes) {
  std::string text;
  if (bytes.size() >= 2 && bytes[0] == '\xff' && bytes[1] == '\xfe') {
    for (size_t i = 2; i < bytes.size(); i += 2) text += bytes[i];
  } else {
    text = bytes;
  }
  std::vector<std::string> keys;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') continue;
    const std::string key = line.substr(1, line.size() - 2);
    for (const char* hive : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
      const std::string h = hive;
      if (key.size() > h.size() && _strnicmp(key.c_str(), hive, h.size()) == 0) {
        keys.push_back(key.substr(h.size()));
      }
    }
  }
  return keys;
}

std::string Utf16File(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  std::string bytes = "\xff\xfe";
  bytes.append(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
  return bytes;
}

void DeleteKeys(std::vector<std::string>& keys) {
  for (const std::string& key : keys) RunReg("delete \"HKLM\\" + key + "\" /f /reg:32");
  keys.clear();
}

}  // namespace

TTempRegistry::TTempRegistry() : path_(dir_.File("registry.reg")) {}

TTempRegistry::~TTempRegistry() {
  DeleteKeys(importedKeys_);
}

void TTempRegistry::Write(std::string_view bytes) const {
  DeleteKeys(importedKeys_);
  // The Linux reader takes "HKLM" for the hive; reg.exe wants the full name.
  std::string text(bytes);
  for (size_t at = text.find("[HKLM\\"); at != std::string::npos; at = text.find("[HKLM\\", at)) {
    text.replace(at, 6, "[HKEY_LOCAL_MACHINE\\");
  }
  // Wine's reg.exe reads hex(2) data of an 8-bit file as 8-bit text, whatever the header says;
  // a UTF-16 file, as Windows writes its exports, is read as the header says.
  if (text.size() < 2 || text[0] != '\xff' || text[1] != '\xfe') text = Utf16File(text);
  if (!WriteFileBytes(path_, text)) ADD_FAILURE() << "cannot write " << path_;
  importedKeys_ = KeysIn(bytes);
  char full[MAX_PATH * 4];
  const DWORD n = GetFullPathNameA(path_.c_str(), sizeof full, full, nullptr);
  const std::string path = n > 0 && n < sizeof full ? std::string(full, n) : path_;
  if (RunReg("import \"" + path + "\" /reg:32") != 0) ADD_FAILURE() << "reg import " << path;
}

}  // namespace fw::test

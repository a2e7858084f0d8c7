#include "tests/support/test_platform.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "platform/files.h"
#include "tests/support/db_fixture.h"

namespace fw::test {

std::string MakeTempFolder() {
  const char* root = std::getenv("FENWOLD_TEST_TMPDIR");
  const std::string base = (root != nullptr && *root != '\0')
                               ? std::string(root)
                               : std::filesystem::temp_directory_path().string();
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = base + "\\fenwold-test-" + std::to_string(random() % 1000000000u);
    if (CreateDirectoryA(path.c_str(), nullptr)) return ExpandFileName(path);
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot create a temporary folder under " + base);
}

void SetEnvVar(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
}

void UnsetEnvVar(const char* name) {
  _putenv_s(name, "");
}

bool ProcessAlive(int pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) return false;
  const bool alive = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  CloseHandle(h);
  return alive;
}

bool KillProcess(int pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) return false;
  const bool ok = TerminateProcess(h, 1) != 0;
  CloseHandle(h);
  return ok;
}

std::string DriverPath(const std::string& path) {
  using TUnixFileName = char*(CDECL*)(const wchar_t*);
  const auto unixFileName = reinterpret_cast<TUnixFileName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unixFileName == nullptr) return path;  // Windows itself
  const std::string full = ExpandFileName(path);
  std::wstring wide(full.size(), L'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, full.data(), static_cast<int>(full.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<size_t>(n));
  char* unixPath = unixFileName(wide.c_str());
  if (unixPath == nullptr) return path;
  std::string result = unixPath;
  HeapFree(GetProcessHeap(), 0, unixPath);
  return result;
}

bool MakeFifo(const std::string&) {
  return false;
}

bool EventLogEchoesToStderr() {
  return false;
}

bool KillProcessTree(int pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) return false;
  const bool ok = TerminateProcess(h, 1) && WaitForSingleObject(h, 10000) == WAIT_OBJECT_0;
  CloseHandle(h);
  return ok;
}

// The driver manager is the system's ODBC32.DLL, which the process never unloads.
void PinLoadedOdbcDrivers() {}

}  // namespace fw::test

#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "platform/win32/read_at.h"
#include "platform/win32/wide.h"

namespace fw {

const char PathDelim = '\\';
const char PathSeparators[] = "\\/:";

namespace {

struct THandle {
  HANDLE h;
  explicit THandle(HANDLE x) : h(x) {}
  ~THandle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
};

DWORD Attributes(const std::string& path) {
  return GetFileAttributesW(WidePath(path).c_str());
}

}  // namespace

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return Utf8(std::wstring_view(buf.data(), n));
    if (buf.size() >= 32768) return {};
    buf.resize(buf.size() * 4);
  }
}

std::string ExpandFileName(const std::string& p) {
  if (p.empty()) return p;
  const std::wstring wide = Wide(p);
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return p;
  std::wstring buf(size, L'\0');
  const DWORD n = GetFullPathNameW(wide.c_str(), size, buf.data(), nullptr);
  return n == 0 || n >= size ? p : Utf8(std::wstring_view(buf.data(), n));
}

bool FileExists(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(WidePath(path)), ec);
  return DirectoryExists(path);
}

bool DeleteFileAt(const std::string& path) {
  return DeleteFileW(WidePath(path).c_str()) != 0;
}

bool RenameFileAt(const std::string& from, const std::string& to) {
  return MoveFileW(WidePath(from).c_str(), WidePath(to).c_str()) != 0;
}

bool ClearReadOnly(const std::string& path) {
  const DWORD a = Attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  return SetFileAttributesW(WidePath(path).c_str(),
                            a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) != 0;
}

bool CreateEmptyFile(const std::string& path) {
  THandle f(CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return f.h != INVALID_HANDLE_VALUE;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  THandle f(CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(f.h, &size)) return false;
  std::string data;
  data.reserve(static_cast<size_t>(size.QuadPart));
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(f.h, buf, sizeof buf, &n, nullptr)) return false;
    if (n == 0) break;
    data.append(buf, n);
  }
  contents = std::move(data);
  return true;
}

TReadOnlyFile::~TReadOnlyFile() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

bool TReadOnlyFile::Open(const std::string& path) {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  THandle f(CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (f.h == INVALID_HANDLE_VALUE || GetFileType(f.h) != FILE_TYPE_DISK) return false;
  handle_ = f.h;
  f.h = INVALID_HANDLE_VALUE;
  return true;
}

bool ReadHandleAt(HANDLE h, uint64_t offset, size_t count, std::string& out) {
  out.clear();
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) return false;
  out.resize(count);
  size_t got = 0;
  while (got < count) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(count - got, 1u << 30));
    if (!ReadFile(h, out.data() + got, want, &n, nullptr)) {
      out.resize(got);
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  out.resize(got);
  return true;
}

bool TReadOnlyFile::ReadAt(uint64_t offset, size_t count, std::string& out) {
  return ReadHandleAt(static_cast<HANDLE>(handle_), offset, count, out);
}

TSharedAppendFile::~TSharedAppendFile() {
  Close();
}

bool TSharedAppendFile::Open(const std::string& path) {
  Close();
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
  return true;
}

bool TSharedAppendFile::Write(const std::string& bytes) {
  if (!handle_) return false;
  // Others may append between our writes: seek to the end before each block.
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(static_cast<HANDLE>(handle_), zero, nullptr, FILE_END)) return false;
  DWORD written = 0;
  return WriteFile(static_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()),
                   &written, nullptr) &&
         written == bytes.size();
}

void TSharedAppendFile::Close() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool TSharedAppendFile::IsOpen() const {
  return handle_ != nullptr;
}

void SleepMs(unsigned ms) {
  Sleep(ms);
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return {};
  return Utf8(std::wstring_view(name, size));
}

}  // namespace fw

#include "platform/folder.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/win32/read_at.h"
#include "platform/win32/wide.h"

namespace fw {
namespace {

class TFindHandle {
 public:
  explicit TFindHandle(HANDLE h) : h_(h) {}
  ~TFindHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::FindClose(h_);
  }
  TFindHandle(const TFindHandle&) = delete;
  TFindHandle& operator=(const TFindHandle&) = delete;
  HANDLE Get() const { return h_; }

 private:
  HANDLE h_;
};

bool IsCardFileName(std::wstring_view name) {
  // Hidden by name as on Linux, whatever the attribute says: a producer's ".cards.csv" that is
  // still being written never counts.
  if (name.size() < 5 || name.front() == L'.') return false;
  const std::wstring_view ext = name.substr(name.size() - 4);
  return ext[0] == L'.' && (ext[1] | 0x20) == L'c' && (ext[2] | 0x20) == L's' &&
         (ext[3] | 0x20) == L'v';
}

}  // namespace

std::vector<std::string> ListCardFiles(const std::string& folder) {
  std::vector<TListedFile> files;
  ListCardFileStamps(folder, files);
  std::vector<std::string> names;
  names.reserve(files.size());
  for (TListedFile& file : files) names.push_back(std::move(file.name));
  return names;
}

bool ListCardFileStamps(const std::string& folder, std::vector<TListedFile>& files) {
  files.clear();
  WIN32_FIND_DATAW data{};
  // Every entry, matched by its long name: a pattern "*.csv" also matches the 8.3 short name,
  // which makes "cards.csvx" or a producer's "cards.csv~" look like a card file.
  TFindHandle find(::FindFirstFileExW(WidePath(JoinPath(folder, "*")).c_str(), FindExInfoBasic,
                                      &data, FindExSearchNameMatch, nullptr, 0));
  if (find.Get() == INVALID_HANDLE_VALUE) return false;
  const DWORD skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  do {
    if ((data.dwFileAttributes & skipped) == 0 && IsCardFileName(data.cFileName)) {
      const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      const auto written = static_cast<int64_t>(
          (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
          data.ftLastWriteTime.dwLowDateTime);
      files.push_back({Utf8(data.cFileName), {size, written}});
    }
  } while (::FindNextFileW(find.Get(), &data));
  // Sorted, so that files named by time stage in that order on every file system.
  std::sort(files.begin(), files.end(),
            [](const TListedFile& a, const TListedFile& b) { return a.name < b.name; });
  return true;
}

THeldFile::~THeldFile() {
  Release();
}

void THeldFile::Release() {
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

THoldResult THeldFile::Hold(const std::string& path) {
  Release();
  path_ = path;
  // Said outright, because a process with backup rights (or Wine run as root) may open a
  // read-only file for writing all the same.
  const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? hrGone : hrBusy;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return hrBusy;
  // No sharing at all: while we hold it no other process (a second instance) opens it.
  const HANDLE h =
      ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? hrGone : hrBusy;
  }
  handle_ = h;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    Release();
    return hrBusy;
  }
  stamp_.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp_.modified =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime);
  return hrHeld;
}

bool THeldFile::ReadAll(std::string& contents) {
  if (handle_ == nullptr) return false;
  const HANDLE h = static_cast<HANDLE>(handle_);
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) return false;
  std::string data;
  char buffer[64 * 1024];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h, buffer, sizeof buffer, &n, nullptr)) return false;
    if (n == 0) break;
    data.append(buffer, n);
  }
  contents = std::move(data);
  return true;
}

bool THeldFile::ReadAt(uint64_t offset, size_t count, std::string& out) {
  return ReadHandleAt(static_cast<HANDLE>(handle_), offset, count, out);
}

namespace {

// Renames an open file through its handle, so that no other process can step in between. The
// rename takes the path as it is: no "\\?\" prefix, which it would keep as part of the name.
// On failure GetLastError says why (another volume, a name taken).
bool RenameByHandle(HANDLE handle, const std::string& target, bool replace) {
  const std::wstring wide = Wide(target);
  const size_t bytes = sizeof(FILE_RENAME_INFO) + (wide.size() + 1) * sizeof(WCHAR);
  std::vector<unsigned char> buffer(bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  wide.copy(info->FileName, wide.size());
  info->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(WCHAR));
  if (!::SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(bytes))) {
    return false;
  }
  ::FlushFileBuffers(handle);
  return true;
}

}  // namespace

bool THeldFile::MoveTo(const std::string& target) {
  if (handle_ == nullptr) return false;
  // A target on another volume cannot be reached through the handle; the ledger guards the
  // copy instead.
  const bool renamed = RenameByHandle(static_cast<HANDLE>(handle_), target, true);
  Release();
  return renamed || MoveFileReplacing(path_, target);
}

THeldFile::TNewNameResult THeldFile::MoveToNewName(const std::string& target) {
  if (handle_ == nullptr) return nnFailed;
  if (RenameByHandle(static_cast<HANDLE>(handle_), target, false)) {
    Release();
    return nnMoved;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return nnTaken;
  // Another volume: copied without replacing, then the source deleted.
  Release();
  const std::wstring from = WidePath(path_), to = WidePath(target);
  if (!::CopyFileW(from.c_str(), to.c_str(), TRUE)) {
    return ::GetLastError() == ERROR_FILE_EXISTS ? nnTaken : nnFailed;
  }
  if (!::DeleteFileW(from.c_str())) {
    ::DeleteFileW(to.c_str());
    return nnFailed;
  }
  return nnMoved;
}

bool WriteFileReplacing(const std::string& path, const std::string& bytes) {
  // A name of this process's own, created only if new: two hosts writing the same report on
  // a share must not write into one temporary file.
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = WidePath(path + ".fenwold-write-" + std::to_string(::GetCurrentProcessId()) + "-" +
                    std::to_string(attempt));
    h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                      nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = bytes.empty() || (::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()),
                                          &written, nullptr) &&
                              written == bytes.size());
  ok = ::FlushFileBuffers(h) && ok;
  ::CloseHandle(h);
  const std::wstring target = WidePath(path);
  ok = ok && ::MoveFileExW(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    ::DeleteFileW(temp.c_str());
    return false;
  }
  ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  return true;
}

bool MoveFileReplacing(const std::string& source, const std::string& target) {
  const std::wstring from = WidePath(source), to = WidePath(target);
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  if (!::DeleteFileW(from.c_str())) {
    // Never leave the file in two places: the source stays the one copy.
    ::DeleteFileW(to.c_str());
    return false;
  }
  return true;
}

bool FolderWritable(const std::string& folder) {
  const std::wstring wide = WidePath(folder);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  wchar_t probe[MAX_PATH + 1] = {};
  if (::GetTempFileNameW(wide.c_str(), L"fwp", 0, probe) == 0) return false;
  ::DeleteFileW(probe);
  return true;
}

bool GetFileStamp(const std::string& path, TFileStamp& stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return false;
  }
  stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp.modified =
      static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime);
  return true;
}

int64_t FileArrivalTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return -1;
  }
  // A copy between volumes gets a new creation time; a move keeps both.
  const auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  const int64_t written = ticks(data.ftLastWriteTime), created = ticks(data.ftCreationTime);
  return ((written > created ? written : created) - 116444736000000000LL) / 10000000;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + '\\' + name;
}

}  // namespace fw

#include "platform/folder.h"

#include <windows.h>

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

}  // namespace

std::vector<std::string> ListCardFiles(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  TFindHandle find(::FindFirstFileA(JoinPath(folder, "*.csv").c_str(), &data));
  if (find.Get() == INVALID_HANDLE_VALUE) return names;
  const DWORD skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                        FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  do {
    if ((data.dwFileAttributes & skipped) == 0) names.emplace_back(data.cFileName);
  } while (::FindNextFileA(find.Get(), &data));
  return names;
}

bool ExclusiveOpenTest(const std::string& path) {
  // Said outright, because a process with backup rights (or Wine run as root) may open a
  // read-only file for writing all the same.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
  const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

bool MoveFileReplacing(const std::string& source, const std::string& target) {
  if (::MoveFileExA(source.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (!::CopyFileA(source.c_str(), target.c_str(), FALSE)) return false;
  if (!::DeleteFileA(source.c_str())) {
    // Never leave the file in two places: the source stays the one copy.
    ::DeleteFileA(target.c_str());
    return false;
  }
  return true;
}

bool FolderWritable(const std::string& folder) {
  const DWORD attributes = ::GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  char probe[MAX_PATH + 1] = {};
  if (::GetTempFileNameA(folder.c_str(), "fwp", 0, probe) == 0) return false;
  ::DeleteFileA(probe);
  return true;
}

bool GetFileStamp(const std::string& path, TFileStamp& stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
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
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
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

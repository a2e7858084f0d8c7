// The drop folder's watch on ReadDirectoryChangesW, overlapped, on a thread of its own that
// also waits for the event that ends it.
#include "platform/folder_watch.h"

#include <windows.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/service_host.h"
#include "platform/win32/wide.h"

namespace fw {

struct TFolderWatcher::TImpl {
  std::function<void()> onArrival;
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> watching{false};
  DWORD firstError = 0;  // why the first read failed
  // The watched folder's identity: a folder deleted (or renamed away) and made again under
  // its name may not fail the read at all (a Wine prefix goes on waiting on the old one).
  // With its creation time: a new folder may get the number of the one just deleted (Wine
  // takes the inode's).
  DWORD volume = 0, indexHigh = 0, indexLow = 0;
  FILETIME created{};
  HANDLE folder = INVALID_HANDLE_VALUE;  // the thread's, valid while it runs
  std::thread thread;

  void End() {
    if (thread.joinable()) {
      SetEvent(stop);
      thread.join();
    }
    ResetEvent(stop);
    watching = false;
  }

  enum TSeen { seNothing, seWritten, seArrived };

  // "*.csv" in any case: a producer that writes a temporary name and renames it wakes the
  // watch once, at the rename.
  static bool CardFileName(const FILE_NOTIFY_INFORMATION* info) {
    const DWORD n = info->FileNameLength / sizeof(WCHAR);
    if (n < 4) return false;
    const WCHAR* end = info->FileName + n - 4;
    return end[0] == L'.' && (end[1] | 0x20) == L'c' && (end[2] | 0x20) == L's' &&
           (end[3] | 0x20) == L'v';
  }

  // Names added or renamed in are arrivals. Windows has no "closed after writing": a write is
  // only a hint, taken once the folder has been quiet for kSettleMs, so that a producer that
  // writes slowly in place does not bring on a scan per write. Intake's own handles write
  // nothing, so they cause no event (a Wine prefix maps writes to inotify's IN_MODIFY);
  // renames out and removals are intake's own moves.
  static TSeen Seen(const char* buffer, DWORD size) {
    if (size == 0) return seArrived;  // the buffer overflowed: events were lost
    TSeen seen = seNothing;
    for (DWORD at = 0; at < size;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
      if (!CardFileName(info)) {
        // not a card file: no scan would take it
      } else if (info->Action == FILE_ACTION_ADDED ||
                 info->Action == FILE_ACTION_RENAMED_NEW_NAME) {
        return seArrived;
      }
      if (info->Action == FILE_ACTION_MODIFIED) seen = seWritten;
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
    return seen;
  }
  static constexpr DWORD kSettleMs = 200;

  // `started` is set once the first read is pending: changes from then on are seen.
  void Run(HANDLE folder, std::promise<void>& started) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    alignas(DWORD) char buffer[32 * 1024];
    const DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
    bool first = true;
    bool settling = false;  // a write was seen; the wake waits for a quiet folder
    for (;;) {
      ResetEvent(overlapped.hEvent);
      const bool reading = ReadDirectoryChangesW(folder, buffer, sizeof buffer, FALSE, filter,
                                                 nullptr, &overlapped, nullptr) != FALSE;
      if (first) {
        first = false;
        if (!reading) {
          firstError = GetLastError();
          watching = false;
          CloseHandle(overlapped.hEvent);
          CloseHandle(folder);
          started.set_value();
          return;
        }
        started.set_value();
      }
      if (!reading) break;
      HANDLE waits[2] = {stop, overlapped.hEvent};
      DWORD woke = WaitForMultipleObjects(2, waits, FALSE, settling ? kSettleMs : INFINITE);
      while (woke == WAIT_TIMEOUT) {
        settling = false;
        if (onArrival) onArrival();
        woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      }
      if (woke != WAIT_OBJECT_0 + 1) {
        CancelIo(folder);
        DWORD ignored = 0;
        GetOverlappedResult(folder, &overlapped, &ignored, TRUE);
        CloseHandle(overlapped.hEvent);
        CloseHandle(folder);
        return;
      }
      DWORD size = 0;
      // A folder deleted or renamed away fails the read: the watch ends, and the service
      // sets it up again at a tick.
      if (!GetOverlappedResult(folder, &overlapped, &size, FALSE)) break;
      const TSeen seen = Seen(buffer, size);
      if (seen == seArrived) {
        settling = false;
        if (onArrival) onArrival();
      } else if (seen == seWritten) {
        settling = true;
      }
    }
    watching = false;
    CloseHandle(overlapped.hEvent);
    CloseHandle(folder);
    if (onArrival) onArrival();
  }
};

namespace {

bool FolderIdentity(const std::string& folder, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE h = CreateFileW(Widen(folder).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(h, &info) != FALSE;
  CloseHandle(h);
  return ok;
}

}  // namespace

TFolderWatcher::TFolderWatcher(std::function<void()> onArrival)
    : impl_(std::make_unique<TImpl>()) {
  impl_->onArrival = std::move(onArrival);
}

TFolderWatcher::~TFolderWatcher() {
  impl_->End();
  if (impl_->stop != nullptr) CloseHandle(impl_->stop);
}

bool TFolderWatcher::Watch(const std::string& folder, std::string& error) {
  folder_ = folder;
  impl_->End();
  // Sharing delete, so that the watch never keeps anyone from removing or renaming the
  // folder.
  const HANDLE h = CreateFileW(Widen(folder).c_str(), FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = SystemErrorMessage(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(h, &info);
  impl_->volume = info.dwVolumeSerialNumber;
  impl_->indexHigh = info.nFileIndexHigh;
  impl_->indexLow = info.nFileIndexLow;
  impl_->created = info.ftCreationTime;
  impl_->folder = h;
  impl_->watching = true;
  TImpl* impl = impl_.get();
  std::promise<void> started;
  std::future<void> ready = started.get_future();
  impl_->thread = std::thread([impl, h, &started] { impl->Run(h, started); });
  ready.wait();
  if (!impl_->watching) error = SystemErrorMessage(impl_->firstError);
  return impl_->watching;
}

bool TFolderWatcher::Watching() const {
  if (!impl_->watching) return false;
  // Deleted while we watch it, the folder waits for our handle to go before it goes, and
  // nobody can make it again meanwhile: the watch lets go at the next tick.
  FILE_STANDARD_INFO standard{};
  if (GetFileInformationByHandleEx(impl_->folder, FileStandardInfo, &standard, sizeof standard) &&
      standard.DeletePending) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION now{};
  return FolderIdentity(folder_, now) && now.dwVolumeSerialNumber == impl_->volume &&
         now.nFileIndexHigh == impl_->indexHigh && now.nFileIndexLow == impl_->indexLow &&
         CompareFileTime(&now.ftCreationTime, &impl_->created) == 0;
}

}  // namespace fw

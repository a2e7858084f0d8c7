// The drop folder's watch on inotify: one descriptor, a thread that polls it beside an
// eventfd that ends the thread.
#include "platform/folder_watch.h"

#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/posix/fd.h"

namespace fw {
namespace {

// Only what says a file is there and complete: not IN_CREATE or IN_MODIFY, which a writer
// causes while it writes.
constexpr uint32_t kFolderEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kParentEvents = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

// Only card files ("*.csv" in any case) are worth a scan: a producer that writes a temporary
// name and renames it wakes the watch once, at the rename.
bool CardFileName(const char* name) {
  const size_t n = std::strlen(name);
  return n >= 4 && ::strcasecmp(name + n - 4, ".csv") == 0;
}

std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

struct TFolderWatcher::TImpl {
  std::function<void()> onArrival;
  TFd inotify;
  TFd wake;  // eventfd: the thread ends when it is written
  int setupError = 0;
  std::mutex lock;  // the watch descriptors and the folder
  std::string folder;
  int folderWd = -1;
  int parentWd = -1;  // while the folder is gone: its parent, for the name to come back
  std::atomic<bool> watching{false};
  std::thread thread;

  void Drop(int& wd) {
    if (wd >= 0) ::inotify_rm_watch(inotify.Get(), wd);
    wd = -1;
  }

  // The folder at its path again, or its parent until it is back. Lock held.
  void Rewatch() {
    Drop(folderWd);
    Drop(parentWd);
    folderWd = ::inotify_add_watch(inotify.Get(), folder.c_str(), kFolderEvents);
    if (folderWd < 0) {
      parentWd = ::inotify_add_watch(inotify.Get(), ParentOf(folder).c_str(), kParentEvents);
      // The folder may have come back before the parent's watch was there to see it.
      folderWd = ::inotify_add_watch(inotify.Get(), folder.c_str(), kFolderEvents);
      if (folderWd >= 0) Drop(parentWd);
    }
    // A folder whose parent went too is left to the service's retries.
    watching = folderWd >= 0 || parentWd >= 0;
  }

  void Run() {
    alignas(inotify_event) char buffer[64 * 1024];
    pollfd fds[2] = {{inotify.Get(), POLLIN, 0}, {wake.Get(), POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      const ssize_t n = ::read(inotify.Get(), buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return;
      }
      bool arrival = false;
      {
        std::lock_guard<std::mutex> hold(lock);
        for (ssize_t at = 0; at < n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
          at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
          if (e->mask & IN_Q_OVERFLOW) {
            arrival = true;  // events were lost: the scan finds out
          } else if (e->wd == folderWd && folderWd >= 0) {
            if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
              Rewatch();
              arrival = true;
            } else if ((e->mask & IN_ISDIR) == 0 && e->len > 0 && CardFileName(e->name)) {
              arrival = true;
            }
          } else if (e->wd == parentWd && parentWd >= 0) {
            if (e->mask & IN_IGNORED) {
              parentWd = -1;
              Rewatch();
              arrival = true;
            } else if ((e->mask & IN_ISDIR) && e->len > 0 && BaseOf(folder) == e->name) {
              Rewatch();
              arrival = folderWd >= 0;
            }
          }
        }
      }
      if (arrival && onArrival) onArrival();
    }
  }
};

TFolderWatcher::TFolderWatcher(std::function<void()> onArrival)
    : impl_(std::make_unique<TImpl>()) {
  impl_->onArrival = std::move(onArrival);
  impl_->inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!impl_->inotify.Valid()) impl_->setupError = errno;
  impl_->wake.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!impl_->wake.Valid() && impl_->setupError == 0) impl_->setupError = errno;
  if (impl_->inotify.Valid() && impl_->wake.Valid()) {
    impl_->thread = std::thread([this] { impl_->Run(); });
  }
}

TFolderWatcher::~TFolderWatcher() {
  if (impl_->thread.joinable()) {
    const uint64_t one = 1;
    (void)!::write(impl_->wake.Get(), &one, sizeof one);
    impl_->thread.join();
  }
}

bool TFolderWatcher::Watch(const std::string& folder, std::string& error) {
  folder_ = folder;
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->Drop(impl_->folderWd);
  impl_->Drop(impl_->parentWd);
  impl_->folder = folder;
  impl_->watching = false;
  if (!impl_->thread.joinable()) {
    error = std::strerror(impl_->setupError != 0 ? impl_->setupError : ENOSYS);
    return false;
  }
  impl_->folderWd = ::inotify_add_watch(impl_->inotify.Get(), folder.c_str(), kFolderEvents);
  if (impl_->folderWd < 0) {
    // ENOSPC here means the per-user limit of watches (fs.inotify.max_user_watches).
    error = std::strerror(errno);
    return false;
  }
  impl_->watching = true;
  return true;
}

bool TFolderWatcher::Watching() const {
  return impl_->watching;
}

}  // namespace fw

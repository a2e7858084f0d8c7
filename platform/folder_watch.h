// Tells when card files arrive in the drop folder, so that the next scan need not wait for
// the timer. It only says "look now": the scan still lists the whole folder and the
// exclusive-open test still decides whether a file is complete, and an event that is lost
// (a network share delivers none) only costs the wait for the next tick.
//
// Linux: inotify, for a file closed after writing or moved in (IN_CLOSE_WRITE,
// IN_MOVED_TO); a writer that keeps its file open causes nothing until it closes it, and
// intake's own opens (read-only) cause nothing at all. When the folder is deleted or renamed
// the watch waits on the parent folder for the name to come back and then watches the new
// folder. Windows: ReadDirectoryChangesW for names added or renamed in, and for files written
// once the folder has been quiet for 200 ms (Windows has no "closed after writing"); a folder
// that goes away or is replaced ends the watch.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace fw {

class TFolderWatcher {
 public:
  // `onArrival` runs on the watch's own thread, once for a burst of events that one read
  // returns, and also when a replaced folder is watched again or the watch is lost (so that a
  // scan finds what came meanwhile). It must be short: post to the main thread.
  explicit TFolderWatcher(std::function<void()> onArrival);
  ~TFolderWatcher();  // stops the thread
  TFolderWatcher(const TFolderWatcher&) = delete;
  TFolderWatcher& operator=(const TFolderWatcher&) = delete;

  // Watches `folder` from now on, instead of what was watched before; false with `error`
  // (the system's text) when it cannot be watched. The main thread only.
  bool Watch(const std::string& folder, std::string& error);
  const std::string& Folder() const { return folder_; }
  // False once the watch has ended (no folder, nor its parent, to watch; on Windows also a
  // folder replaced under its name); Watch again to retry. The service asks at every tick.
  bool Watching() const;

  struct TImpl;

 private:
  std::string folder_;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace fw

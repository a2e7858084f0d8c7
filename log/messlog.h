// TMessLog: the service's timestamped text log. The file is opened, appended to and closed
// around every write, so others may read, move or delete it between writes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/datetime.h"

namespace fw {

// How a log file is kept. The service's own: the defaults with dailyFiles.
struct TLogOptions {
  // Written (stamped at construction) before the first line; a non-empty one also makes the
  // destructor write "End Log".
  std::string openingText = "Start Log";
  bool replaceOldFile = false;  // a single file starts afresh (day files never do)
  bool dailyFiles = false;      // one file per weekday: name + 1..7
  bool useDayOfMonth = false;   // with dailyFiles: name + 1..31
  bool noSeparator = false;     // no line of dots and the version before the first line
};

class TMessLog {
 public:
  TMessLog(const std::string& fileName, const TLogOptions& options,
           const TClock& clock = SystemClock());
  ~TMessLog();
  TMessLog(const TMessLog&) = delete;
  TMessLog& operator=(const TMessLog&) = delete;

  // Writes the pending lines and then `text` as one stamped line; an empty text only flushes.
  // When the file cannot be opened (two attempts, 87 ms apart) the pending lines wait for the
  // next write and `text` is lost.
  void AddLine(const std::string& text);
  // Queues a stamped line; returns its pending index, or -1 when the call flushed.
  int Add(const std::string& text);

  int MaxPending() const;
  void SetMaxPending(int value);        // 0 or less: no flushing by count
  std::string FileName() const;         // absolute base path
  std::string CurrentFileName() const;  // the file now written
  int PendingCount() const;

 private:
  void FlushLines(const std::string& text);  // Lock held
  std::string DayFileName();                 // also sets currentDay_
  int TodayNumber() const;

  const TClock& clock_;
  std::string fileName_;
  std::string currentFileName_;
  mutable std::mutex lock_;
  bool replaceOldFile_;
  bool dailyFiles_;
  bool useDayOfMonth_;
  int currentDay_ = 0;
  bool writeClosingLine_ = false;
  bool separatorPending_ = false;
  int maxPending_ = 250;
  std::vector<std::string> pending_;
};

// "hh:nn:ss.zzz dd/mm/yy" with the locale's separators.
std::string FormatLogStamp(double dateTime);
// The same with the given date and time separators.
std::string FormatLogStamp(double dateTime, char dateSeparator, char timeSeparator);
// Executable path (the running one when empty) + "   Version - " + FileVersionText.
std::string VersionBanner(const std::string& path, bool zeroPad = false);
// Four dot-joined numbers of the compiled-in version for the running executable; empty for
// any other file (no version resource on this platform).
std::string FileVersionText(const std::string& path, bool zeroPad = false);
// Clears read-only, deletes; if that fails, moves the file aside to path + ".del" (deleting an
// older file of that name first). Errors are swallowed.
void RemoveLogFile(const std::string& path);

}  // namespace fw

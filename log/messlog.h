// TMessLog: the service's timestamped text log. The file is opened, appended to and closed
// around every write, so others may read, move or delete it between writes.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/datetime.h"

namespace fw {

class TMessLog {
 public:
  // `openingText` is written (stamped at construction) before the first line; a non-empty
  // one also makes the destructor write "End Log".
  TMessLog(const std::string& fileName, const std::string& openingText, bool replaceOldFile,
           bool dailyFiles, bool useDayOfMonth, bool noSeparator);
  // The usual form: opening text "Start Log".
  TMessLog(const std::string& fileName, bool replaceOldFile, bool dailyFiles, bool useDayOfMonth,
           bool noSeparator);
  // A text literal as second argument of the five-argument form would silently become
  // `replaceOldFile`; the six-argument form is the one that takes an opening text.
  TMessLog(const std::string& fileName, const char* openingText, bool, bool, bool) = delete;
  // As the first form, with the clock that stamps lines and picks the day file.
  TMessLog(const TClock& clock, const std::string& fileName, const std::string& openingText,
           bool replaceOldFile, bool dailyFiles, bool useDayOfMonth, bool noSeparator);
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

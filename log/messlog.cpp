#include "log/messlog.h"

#include <cstdio>

#include "platform/files.h"
#include "platform/locale.h"
#include "platform/version.h"

namespace fw {
namespace {

constexpr unsigned kRetryPauseMs = 87;

std::string SeparatorLine() {
  return std::string(21, '.') + " - " + VersionBanner("");
}

}  // namespace

TMessLog::TMessLog(const std::string& fileName, const TLogOptions& options, const TClock& clock)
    : clock_(clock),
      replaceOldFile_(options.replaceOldFile),
      dailyFiles_(options.dailyFiles),
      useDayOfMonth_(options.useDayOfMonth) {
  fileName_ = ExpandFileName(fileName.empty() ? std::string("Messages.log") : fileName);
  ForceDirectories(ExtractFilePath(fileName_));
  if (dailyFiles_) {
    // A restart on the same day appends to that day's file, whatever replaceOldFile says.
    currentFileName_ = DayFileName();
  } else {
    currentFileName_ = fileName_;
    if (replaceOldFile_ && FileExists(currentFileName_)) RemoveLogFile(currentFileName_);
  }
  separatorPending_ = !options.noSeparator;
  writeClosingLine_ = !options.openingText.empty();
  if (writeClosingLine_) Add(options.openingText);
}

TMessLog::~TMessLog() {
  std::lock_guard<std::mutex> guard(lock_);
  FlushLines(writeClosingLine_ ? "End Log" : "");
}

void TMessLog::AddLine(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  FlushLines(text);
}

int TMessLog::Add(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  pending_.push_back(FormatLogStamp(clock_.Now()) + " - " + text);
  const int index = static_cast<int>(pending_.size()) - 1;
  if (maxPending_ > 0 && static_cast<int>(pending_.size()) >= maxPending_) {
    FlushLines("");
    return -1;
  }
  return index;
}

void TMessLog::FlushLines(const std::string& text) {
  if (pending_.empty() && text.empty()) return;
  if (dailyFiles_ && TodayNumber() != currentDay_) {
    currentFileName_ = DayFileName();
    if (replaceOldFile_ && FileExists(currentFileName_)) RemoveLogFile(currentFileName_);
  }
  if (!FileExists(currentFileName_) && CreateEmptyFile(currentFileName_)) {
    separatorPending_ = true;
  }
  TSharedAppendFile file;
  if (!file.Open(currentFileName_)) {
    SleepMs(kRetryPauseMs);
    if (!file.Open(currentFileName_)) return;
  }
  // A short write is not retried: the next line goes on regardless.
  if (separatorPending_) file.Write(SeparatorLine() + "\r\n");
  separatorPending_ = false;
  for (const std::string& line : pending_) file.Write(line + "\r\n");
  if (!text.empty()) file.Write(FormatLogStamp(clock_.Now()) + " - " + text + "\r\n");
  file.Close();
  pending_.clear();
}

int TMessLog::TodayNumber() const {
  const TDateParts p = DecodeDateTime(clock_.Now());
  return useDayOfMonth_ ? p.day : p.dayOfWeek;
}

std::string TMessLog::DayFileName() {
  currentDay_ = TodayNumber();
  return ChangeFileExt(fileName_, "") + std::to_string(currentDay_) + ExtractFileExt(fileName_);
}

int TMessLog::MaxPending() const {
  std::lock_guard<std::mutex> guard(lock_);
  return maxPending_;
}

void TMessLog::SetMaxPending(int value) {
  std::lock_guard<std::mutex> guard(lock_);
  maxPending_ = value;
}

std::string TMessLog::FileName() const {
  return fileName_;
}

std::string TMessLog::CurrentFileName() const {
  std::lock_guard<std::mutex> guard(lock_);
  return currentFileName_;
}

int TMessLog::PendingCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(pending_.size());
}

std::string FormatLogStamp(double dateTime) {
  return FormatLogStamp(dateTime, DateSeparator(), TimeSeparator());
}

std::string FormatLogStamp(double dateTime, char dateSeparator, char timeSeparator) {
  const TDateParts p = DecodeDateTime(dateTime);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d%c%02d%c%02d.%03d %02d%c%02d%c%02d", p.hour, timeSeparator,
                p.minute, timeSeparator, p.second, p.msec, p.day, dateSeparator, p.month,
                dateSeparator, p.year % 100);
  return buf;
}

std::string VersionBanner(const std::string& path, bool zeroPad) {
  return (path.empty() ? ExecutablePath() : path) + "   Version - " +
         FileVersionText(path, zeroPad);
}

std::string FileVersionText(const std::string& path, bool zeroPad) {
  TFileVersion parts{};
  if (!ReadFileVersion(path, parts)) return "";
  std::string text;
  char buf[16];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(buf, sizeof buf, zeroPad ? "%.3d" : "%d", static_cast<int>(parts[i]));
    if (i > 0) text += '.';
    text += buf;
  }
  return text;
}

void RemoveLogFile(const std::string& path) {
  ClearReadOnly(path);
  if (DeleteFileAt(path)) return;
  const std::string aside = path + ".del";
  DeleteFileAt(aside);
  RenameFileAt(path, aside);
}

}  // namespace fw

// The report beside a rejected card file, "<file name>.rejected.txt" (UTF-8) in the error
// folder: why the file was rejected, line by line, for the operator or the producer who
// corrects it, long after the weekday log has turned over.
//
// It is written before the file is moved, through a hidden temporary name (complete or not at
// all, also for a reader on another host of a share), and it stays when the move fails: the
// file is then still in the drop folder and its next rejection writes the report again. A
// report of an earlier file of the same name is replaced, as the move replaces that file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/datetime.h"

namespace fw {

struct TRejectedLine {
  size_t number = 0;  // from 1
  std::string text;   // as read (decoded)
  std::string error;  // the database's text, or why the line never reached it
};

struct TRejectReport {
  std::string path;      // where the file lay: drop folder and name
  std::string host;
  TDateTime when = 0;
  uint64_t size = 0;     // bytes
  std::string encoding;  // what it was read as, and why; empty when it could not be read
  size_t lines = 0;      // lines of the file
  size_t badLines = 0;   // every bad line, also those beyond `listed`
  std::vector<TRejectedLine> listed;  // the first kReportedLines bad lines, in file order
  std::string reason;    // a fault of the whole file (its text, the ledger, the commit)
};

// A file of bad lines is listed so far; the summary counts them all.
constexpr size_t kReportedLines = 1000;
// A line's text is cut after this many bytes (on a character boundary).
constexpr size_t kReportedLineBytes = 200;

std::string RejectReportName(const std::string& fileName);  // fileName + ".rejected.txt"
// True for a name that RejectReportName made.
bool IsRejectReportName(const std::string& name);

// The report's text: a header (file, when, host, size, encoding), one entry per listed line
// ("Line N: text" and "  Error: ..."), the file's reason, and a one-line summary last.
std::string FormatRejectReport(const TRejectReport& report);

// What a report says first: "line N: <error>", or the file's reason; empty when the text is
// no report.
std::string FirstRejectReason(const std::string& reportText);

// Writes the report of a file into `folder`; false when it could not be written.
bool WriteRejectReport(const std::string& folder, const TRejectReport& report);

}  // namespace fw

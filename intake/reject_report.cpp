#include "intake/reject_report.h"

#include <sstream>

#include "platform/files.h"
#include "platform/folder.h"
#include "platform/strings.h"

namespace fw {
namespace {

const char kSuffix[] = ".rejected.txt";
const char kLine[] = "Line ";
const char kError[] = "  Error: ";
const char kReason[] = "Reason: ";

// At most `bytes` bytes, never ending inside a UTF-8 sequence; "..." marks a cut.
std::string Cut(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

}  // namespace

std::string RejectReportName(const std::string& fileName) {
  return fileName + kSuffix;
}

bool IsRejectReportName(const std::string& name) {
  const size_t n = sizeof kSuffix - 1;
  return name.size() > n && name.compare(name.size() - n, n, kSuffix) == 0;
}

std::string FormatRejectReport(const TRejectReport& r) {
  std::string out;
  out += "Rejected card file: " + ExtractFileName(r.path) + "\n";
  out += "From:      " + r.path + "\n";
  out += "When:      " + FormatDateTimeIso(r.when) + "\n";
  out += "Host:      " + r.host + "\n";
  out += "Size:      " + std::to_string(r.size) + " bytes\n";
  out += "Encoding:  " + (r.encoding.empty() ? std::string("(could not be read)") : r.encoding) +
         "\n";
  out += "\n";
  for (const TRejectedLine& line : r.listed) {
    out += kLine + std::to_string(line.number) + ": " + Cut(OneLine(line.text), kReportedLineBytes) +
           "\n";
    out += kError + OneLine(line.error) + "\n";
  }
  if (!r.reason.empty()) out += kReason + OneLine(r.reason) + "\n";
  if (!r.listed.empty() || !r.reason.empty()) out += "\n";

  std::string summary = "Rejected: ";
  if (r.badLines > 0) {
    summary += std::to_string(r.badLines) + " bad line(s) of " + std::to_string(r.lines);
    if (r.badLines > r.listed.size()) {
      summary += " (the first " + std::to_string(r.listed.size()) + " listed)";
    }
    if (!r.reason.empty()) summary += "; " + OneLine(r.reason);
  } else {
    summary += r.reason.empty() ? std::string("see the log") : OneLine(r.reason);
  }
  out += summary + "; nothing of the file was staged.\n";
  return out;
}

std::string FirstRejectReason(const std::string& text) {
  if (text.rfind("Rejected card file: ", 0) != 0) return {};
  std::istringstream lines(text);
  std::string line, number;
  while (std::getline(lines, line)) {
    if (line.rfind(kLine, 0) == 0) {
      number = line.substr(sizeof kLine - 1, line.find(':') - (sizeof kLine - 1));
    } else if (line.rfind(kError, 0) == 0 && !number.empty()) {
      return "line " + number + ": " + line.substr(sizeof kError - 1);
    } else if (line.rfind(kReason, 0) == 0) {
      return line.substr(sizeof kReason - 1);
    } else if (line.rfind("Rejected: ", 0) == 0) {
      return line.substr(10);
    }
  }
  return {};
}

bool WriteRejectReport(const std::string& folder, const TRejectReport& report) {
  if (folder.empty()) return false;
  return WriteFileReplacing(JoinPath(folder, RejectReportName(ExtractFileName(report.path))),
                            FormatRejectReport(report));
}

}  // namespace fw

// fenwoldctl status: is fenwold keeping up? The service state, the card folders, the staged
// records and today's log, with the exit codes of monitoring plugins (0 ok, 1 warning,
// 2 critical) and --json for machines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "config/conn_params.h"
#include "intake/folder_upkeep.h"
#include "intake/ledger_table.h"
#include "intake/reject_report.h"
#include "intake/staged_counts.h"
#include "log/log_texts.h"
#include "log/messlog.h"
#include "platform/console.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "platform/service_state.h"
#include "platform/strings.h"
#include "service/drop_poll.h"
#include "service/run_settings.h"
#include "tools/ctl_command.h"
#include "tools/ctl_session.h"

namespace fw {
namespace {

constexpr size_t kLastErrors = 3;

struct TStatus {
  std::string service;
  bool dbReachable = false;
  std::string dbError;
  TCardFolders folders;
  std::string watch;  // how the service watches the drop folder, and why
  long waitingFiles = -1;  // -1: not known
  long long oldestAgeSec = -1;
  long errorFilesToday = -1;
  std::vector<std::pair<std::string, std::string>> rejected;  // today's: name, first reason
  TFolderUsage done{-1, 0};
  long long due = -1, waiting = -1;
  std::string earliest;
  std::string logFile;
  std::string lastPickup;  // the whole log line
  long errorLines = 0;
  std::vector<std::string> lastErrors;
  std::vector<std::string> problems;
  int level = 0;

  void Problem(int severity, const std::string& text) {
    problems.push_back(text);
    level = std::max(level, severity);
  }
};

std::string Duration(long long sec) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", sec / 3600, sec / 60 % 60, sec % 60);
  return text;
}

int64_t NowUnix() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Local midnight, in seconds since 1970.
int64_t Midnight() {
  const TDateTime now = SystemClock().Now();
  return NowUnix() - static_cast<int64_t>((now - static_cast<int64_t>(now)) * 86400);
}

// Files of a folder that arrived since local midnight.
long ArrivedToday(const std::string& folder) {
  const int64_t midnight = Midnight();
  long count = 0;
  for (const std::string& name : ListCardFiles(folder)) {
    count += FileArrivalTime(JoinPath(folder, name)) >= midnight;
  }
  return count;
}

// Today's rejected files, by the reports beside them, with the first reason of each.
void ReadRejected(TStatus& s) {
  const int64_t midnight = Midnight();
  for (const std::string& name : ListCardFiles(s.folders.errors)) {
    const std::string path = JoinPath(s.folders.errors, name);
    if (FileArrivalTime(path) < midnight) continue;
    std::string report;
    ReadWholeFile(JoinPath(s.folders.errors, RejectReportName(name)), report);
    const std::string reason = FirstRejectReason(report);
    s.rejected.push_back({name, reason.empty() ? "(no report)" : reason});
  }
  std::sort(s.rejected.begin(), s.rejected.end());
}

void ReadFolders(TStatus& s, unsigned tickMs) {
  if (!s.folders.drop.empty()) {
    s.watch = PlanDropWatchFromOutside(s.folders.drop, TConnParams(), tickMs).way;
    const std::vector<std::string> names = ListCardFiles(s.folders.drop);
    s.waitingFiles = static_cast<long>(names.size());
    const int64_t now = NowUnix();
    for (const std::string& name : names) {
      const int64_t arrived = FileArrivalTime(JoinPath(s.folders.drop, name));
      if (arrived >= 0)
        s.oldestAgeSec = std::max(s.oldestAgeSec, static_cast<long long>(now - arrived));
    }
    if (s.oldestAgeSec * 1000 > 3LL * tickMs) {
      s.Problem(1, "a card file has waited " + Duration(s.oldestAgeSec) + " in the drop folder");
    }
  }
  if (!s.folders.errors.empty()) {
    s.errorFilesToday = ArrivedToday(s.folders.errors);
    if (s.errorFilesToday > 0) {
      s.Problem(1,
                std::to_string(s.errorFilesToday) + " card file(s) went to the error folder today");
    }
    ReadRejected(s);
  }
  if (!s.folders.files.empty()) s.done = FolderUsage(s.folders.files);
}

void ReadStaged(TStatus& s, TODBC& db) {
  TStagedCounts counts;
  if (!CountStaged(db, SystemClock().Now(), counts))
    s.Problem(2, "the staged records cannot be read");
  s.due = counts.due;
  s.waiting = counts.waiting;
  s.earliest = counts.earliest;
}

void ReadLog(TStatus& s) {
  const TDateParts today = DecodeDateTime(SystemClock().Now());
  s.logFile =
      RunSettingsFromEnvironment().logFolder + "fenwold" + std::to_string(today.dayOfWeek) + ".log";
  std::string text;
  if (!ReadWholeFile(s.logFile, text)) return;
  // Only lines stamped today: the weekday's file may be a week old.
  const std::string stamp = FormatLogStamp(SystemClock().Now());
  const std::string date = stamp.substr(stamp.find(' ') + 1);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t dash = line.find(" - ");
    const size_t space = line.find(' ');
    if (dash == std::string::npos || line.compare(space + 1, date.size(), date) != 0) continue;
    const std::string body = line.substr(dash + 3);
    if (body.rfind(logtext::kPickedUp, 0) == 0) s.lastPickup = line;
    for (const char* start : logtext::kErrorStarts) {
      if (body.rfind(start, 0) != 0) continue;
      ++s.errorLines;
      s.lastErrors.push_back(line);
      if (s.lastErrors.size() > kLastErrors) s.lastErrors.erase(s.lastErrors.begin());
      break;
    }
  }
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonNumber(long long n) {
  return n < 0 ? "null" : std::to_string(n);
}

const char* const kLevels[] = {"OK", "WARNING", "CRITICAL"};

void PrintJson(const TStatus& s) {
  std::string errors, problems, rejected;
  for (const auto& e : s.lastErrors) errors += (errors.empty() ? "" : ", ") + Json(e);
  for (const auto& [name, reason] : s.rejected) {
    rejected += std::string(rejected.empty() ? "" : ", ") + "{\"file\": " + Json(name) +
                ", \"reason\": " + Json(reason) + "}";
  }
  for (const auto& p : s.problems) problems += (problems.empty() ? "" : ", ") + Json(p);
  Print(
      "{\"status\": %s, \"exit\": %d, \"problems\": [%s],\n"
      " \"service\": %s,\n"
      " \"database\": {\"reachable\": %s, \"error\": %s},\n"
      " \"folders\": {\"drop\": %s, \"done\": %s, \"errors\": %s, \"waiting_files\": %s, "
      "\"oldest_seconds\": %s, \"error_files_today\": %s, \"rejected_today\": [%s], "
      "\"done_files\": %s, \"done_bytes\": %s, \"watch\": %s},\n"
      " \"staged\": {\"due\": %s, \"waiting\": %s, \"earliest\": %s},\n"
      " \"log\": {\"file\": %s, \"last_pickup\": %s, \"errors_today\": %ld, \"last_errors\": "
      "[%s]}}\n",
      Json(kLevels[s.level]).c_str(), s.level, problems.c_str(), Json(s.service).c_str(),
      s.dbReachable ? "true" : "false", Json(s.dbError).c_str(), Json(s.folders.drop).c_str(),
      Json(s.folders.files).c_str(), Json(s.folders.errors).c_str(),
      JsonNumber(s.waitingFiles).c_str(), JsonNumber(s.oldestAgeSec).c_str(),
      JsonNumber(s.errorFilesToday).c_str(), rejected.c_str(), JsonNumber(s.done.files).c_str(),
      s.done.files < 0 ? "null" : std::to_string(s.done.bytes).c_str(),
      s.watch.empty() ? "null" : Json(s.watch).c_str(), JsonNumber(s.due).c_str(),
      JsonNumber(s.waiting).c_str(), s.earliest.empty() ? "null" : Json(s.earliest).c_str(),
      Json(s.logFile).c_str(), s.lastPickup.empty() ? "null" : Json(s.lastPickup).c_str(),
      s.errorLines, errors.c_str());
}

void Row(const char* name, const std::string& value) {
  Print("  %-13s %s\n", name, value.c_str());
}

void PrintText(const TStatus& s) {
  Print("Fenwold %s\n", kLevels[s.level]);
  for (const auto& p : s.problems) Print("  ! %s\n", p.c_str());
  Row("service", s.service);
  Row("database", s.dbReachable ? "reachable" : "unreachable: " + OneLine(s.dbError));
  if (s.dbReachable) {
    std::string drop = s.folders.drop.empty() ? "(not set)" : s.folders.drop;
    if (s.waitingFiles >= 0) {
      drop += ": " + std::to_string(s.waitingFiles) + " card file(s) waiting";
      if (s.oldestAgeSec >= 0) drop += ", the oldest for " + Duration(s.oldestAgeSec);
    }
    Row("drop folder", drop);
    if (!s.watch.empty()) Row("watch", s.watch);
    std::string done = s.folders.files.empty() ? "(not set)" : s.folders.files;
    if (s.done.files >= 0) {
      char size[32];
      std::snprintf(size, sizeof size, "%.1f MB",
                    static_cast<double>(s.done.bytes) / (1024 * 1024));
      done += ": " + std::to_string(s.done.files) + " file(s), " + size;
    }
    Row("done folder", done);
    std::string errors = s.folders.errors.empty() ? "(not set)" : s.folders.errors;
    if (s.errorFilesToday >= 0) errors += ": " + std::to_string(s.errorFilesToday) + " today";
    Row("error folder", errors);
    for (const auto& [name, reason] : s.rejected) {
      Print("    %s: %s\n", name.c_str(), reason.c_str());
    }
    if (s.due >= 0) {
      std::string staged = std::to_string(s.due) + " due now, " + std::to_string(s.waiting) +
                           " waiting for their start";
      // The earliest start of a record whose card exists: when the service's next pass is due.
      if (!s.earliest.empty()) staged += " (the next due at " + s.earliest + ")";
      Row("staged", staged);
    }
  }
  Row("log", s.logFile);
  Row("last pickup", s.lastPickup.empty() ? "none today" : s.lastPickup);
  Row("errors today", std::to_string(s.errorLines));
  for (const auto& e : s.lastErrors) Print("    %s\n", e.c_str());
}

int RunStatus(const std::vector<std::string>& args) {
  const bool json = args.size() == 1 && args[0] == "--json";
  if (!args.empty() && !json) {
    PrintErr("usage: fenwoldctl status [--json]\n");
    return 2;
  }
  TStatus s;
  s.service = QueryServiceState("Fenwold");
  if (s.service != "running" && s.service != "paused" && s.service != "unknown") {
    s.Problem(2, "the service is " + s.service);
  }
  TODBC db;
  s.dbReachable = ConnectLikeService(db, s.dbError);
  if (!s.dbReachable) {
    s.Problem(2, "the card database cannot be reached");
  } else if (!ReadCardFolders(db, s.folders, s.dbError)) {
    s.Problem(2, "the settings cannot be read");
  } else {
    ReadFolders(s, RunSettingsFromEnvironment().tickMs);
    ReadStaged(s, db);
    if (FindLedgerTable(db).state == lsMissing) {
      s.Problem(1,
                "the card_file ledger is missing: a card file whose move failed after its "
                "commit is staged again (fenwoldctl check prints the statements that create it)");
    }
  }
  ReadLog(s);
  if (json) {
    PrintJson(s);
  } else {
    PrintText(s);
  }
  std::fflush(stdout);
  return s.level;
}

const TCtlCommand kStatus("status", "status [--json]",
                          "is fenwold keeping up? exit 0 ok, 1 warning, 2 critical", RunStatus);

}  // namespace
}  // namespace fw

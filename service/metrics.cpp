#include "service/metrics.h"

#include <cstdio>

namespace fw {
namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  out += name + " " + text + "\n";
}

}  // namespace

std::string FormatMetrics(const TMetrics& m) {
  std::string out;
  const TIntakeTally& t = m.tally;
  Family(out, "fenwold_card_files_total", "counter", "Card files handled, by outcome.");
  Sample(out, "fenwold_card_files_total{outcome=\"staged\"}", t.pickedUp);
  Sample(out, "fenwold_card_files_total{outcome=\"rejected\"}", t.rejected);
  Sample(out, "fenwold_card_files_total{outcome=\"held\"}", t.held);
  Sample(out, "fenwold_card_files_total{outcome=\"already_staged\"}", t.alreadyStaged);
  Family(out, "fenwold_card_lines_rejected_total", "counter", "Bad lines of rejected card files.");
  Sample(out, "fenwold_card_lines_rejected_total", t.linesRejected);
  Family(out, "fenwold_records_applied_total", "counter",
         "Staged records applied to the card table.");
  Sample(out, "fenwold_records_applied_total", t.applied);
  if (t.waiting >= 0) {
    Family(out, "fenwold_records_left_staged", "gauge",
           "Staged records that the last complete pass left for a later one.");
    Sample(out, "fenwold_records_left_staged", static_cast<double>(t.waiting));
  }
  if (m.dueNow >= 0 && m.waiting >= 0) {
    Family(out, "fenwold_staged_records", "gauge",
           "Staged records now: due (the next pass applies them) or waiting for their start.");
    Sample(out, "fenwold_staged_records{state=\"due\"}", static_cast<double>(m.dueNow));
    Sample(out, "fenwold_staged_records{state=\"waiting\"}", static_cast<double>(m.waiting));
  }
  if (m.filesWaiting >= 0) {
    Family(out, "fenwold_drop_files_waiting", "gauge", "Card files waiting in the drop folder.");
    Sample(out, "fenwold_drop_files_waiting", static_cast<double>(m.filesWaiting));
    Family(out, "fenwold_drop_oldest_file_age_seconds", "gauge",
           "How long the oldest card file has waited in the drop folder (0: none waits).");
    Sample(out, "fenwold_drop_oldest_file_age_seconds", static_cast<double>(m.oldestWaitingSec));
  }
  Family(out, "fenwold_database_up", "gauge", "1 when the card database was reachable at the last tick.");
  Sample(out, "fenwold_database_up", m.dbReachable ? 1 : 0);
  if (m.lastSuccessUnix > 0) {
    Family(out, "fenwold_last_success_timestamp_seconds", "gauge",
           "When the last tick that reached the database ended (seconds since 1970).");
    Sample(out, "fenwold_last_success_timestamp_seconds", m.lastSuccessUnix);
  }
  Family(out, "fenwold_last_tick_duration_seconds", "gauge", "How long the last tick took.");
  Sample(out, "fenwold_last_tick_duration_seconds", m.lastTickSeconds);
  return out;
}

}  // namespace fw

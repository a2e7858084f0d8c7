// The metrics file as a collector reads it (Prometheus text format).
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "service/metrics.h"
#include "tests/support/busy_metrics.h"

namespace fw {
namespace {

// name{labels} -> value, after checking every line against the format: each family announced
// by HELP then TYPE before its samples, counters named *_total.
std::map<std::string, std::string> Parse(const std::string& text) {
  std::map<std::string, std::string> samples;
  const std::regex sample(R"(^(fenwold_[a-z_]+)(\{[a-z_]+="[a-z_]+"\})? (-?[0-9.e+]+)$)");
  const std::regex type(R"(^# TYPE (fenwold_[a-z_]+) (counter|gauge)$)");
  std::istringstream lines(text);
  std::string line, help, family, kind;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (line.rfind("# HELP ", 0) == 0) {
      help = line.substr(7, line.find(' ', 7) - 7);
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], help) << "HELP before TYPE: " << line;
      family = m[1];
      kind = m[2];
      EXPECT_EQ(kind == "counter", family.size() > 6 && family.ends_with("_total")) << family;
    } else if (std::regex_match(line, m, sample)) {
      EXPECT_EQ(m[1], family) << "a sample of its announced family: " << line;
      samples[m[1].str() + m[2].str()] = m[3];
    } else {
      ADD_FAILURE() << "not a line of the format: " << line;
    }
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n');
  return samples;
}

TEST(Metrics, EveryValueUnderItsFamilyAndUnknownsLeftOut) {
  const TMetrics m = test::BusyMetrics();
  const std::map<std::string, std::string> full = Parse(FormatMetrics(m));
  const std::map<std::string, std::string> expected = {
      {"fenwold_card_files_total{outcome=\"staged\"}", "12"},
      {"fenwold_card_files_total{outcome=\"rejected\"}", "1"},
      {"fenwold_card_files_total{outcome=\"held\"}", "3"},
      {"fenwold_card_files_total{outcome=\"already_staged\"}", "2"},
      {"fenwold_card_lines_rejected_total", "10"},
      {"fenwold_records_applied_total", "40"},
      {"fenwold_records_left_staged", "5"},
      {"fenwold_staged_records{state=\"due\"}", "0"},
      {"fenwold_staged_records{state=\"waiting\"}", "7"},
      {"fenwold_drop_files_waiting", "2"},
      {"fenwold_drop_oldest_file_age_seconds", "75"},
      {"fenwold_database_up", "1"},
      {"fenwold_last_success_timestamp_seconds", "1796810000.25"},
      {"fenwold_last_tick_duration_seconds", "0.125"},
  };
  EXPECT_EQ(full, expected);

  // Unreachable from the start: what was never read is absent, not 0.
  const std::map<std::string, std::string> down = Parse(FormatMetrics(TMetrics{}));
  EXPECT_EQ(down.at("fenwold_database_up"), "0");
  for (const char* absent : {"fenwold_records_left_staged", "fenwold_staged_records{state=\"due\"}",
                             "fenwold_drop_files_waiting", "fenwold_last_success_timestamp_seconds"}) {
    EXPECT_EQ(down.count(absent), 0u) << absent;
  }
}

}  // namespace
}  // namespace fw

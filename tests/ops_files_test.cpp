// The files that operators' tools read beside the service: the metrics file as promtool sees
// it, the shipped alert rules, and the Grafana dashboard's queries against what the writer
// produces. promtool and jq are part of the test machine (scripts/deps.sh): their absence fails.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "service/metrics.h"
#include "tests/support/busy_metrics.h"
#include "tests/support/temp_dir.h"

namespace fw {
namespace {

const std::string kSource = FENWOLD_SOURCE_DIR;
const std::string kRules = kSource + "/packaging/prometheus/fenwold-rules.yml";
const std::string kDashboard = kSource + "/packaging/grafana/fenwold-dashboard.json";

struct TRun {
  int status = -1;
  std::string output;  // stdout and stderr
};

TRun Shell(const std::string& command) {
  TRun run;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

using test::BusyMetrics;

// Every shape the service writes: all values, the database down from the start (the staged
// counts and the last success left out), and lost after a success (counters kept, counts gone).
TEST(OpsFiles, PromtoolAcceptsEveryMetricsFileTheServiceWrites) {
  TMetrics lost = BusyMetrics();
  lost.dbReachable = false;
  lost.dueNow = lost.waiting = -1;
  lost.tally.waiting = -1;
  const struct {
    const char* name;
    TMetrics metrics;
  } cases[] = {{"every value", BusyMetrics()},
               {"database down from the start", TMetrics{}},
               {"database lost after a success", lost}};
  test::TTempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.File("fenwold.prom");
    const std::string text = FormatMetrics(c.metrics);
    ASSERT_TRUE(test::WriteFileBytes(file, text));
    // Lint findings are faults too: promtool prints them and exits non-zero.
    const TRun run = Shell("promtool check metrics < '" + file + "'");
    EXPECT_EQ(run.status, 0) << run.output << "\n" << text;
    EXPECT_EQ(run.output, "") << text;
  }
}

// The README shows the rules an operator copies; the shipped file is the one that is checked.
TEST(OpsFiles, AlertRulesPassPromtoolTheirUnitTestsAndMatchTheReadme) {
  const TRun check = Shell("promtool check rules '" + kRules + "'");
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_NE(check.output.find("SUCCESS: 2 rules found"), std::string::npos) << check.output;

  const TRun behaviour =
      Shell("promtool test rules '" + kSource + "/tests/ops/fenwold-rules-test.yml'");
  EXPECT_EQ(behaviour.status, 0) << behaviour.output;

  const std::string readme = test::ReadFileBytes(kSource + "/README.md");
  const std::string open = "```yaml\n";
  const size_t begin = readme.find(open + "groups:");
  ASSERT_NE(begin, std::string::npos) << "the README shows no rules";
  const size_t end = readme.find("```", begin + open.size());
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(readme.substr(begin + open.size(), end - begin - open.size()),
            test::ReadFileBytes(kRules))
      << "the README's rules differ from packaging/prometheus/fenwold-rules.yml";
}

// The metrics the dashboard may name are the ones the writer produced, not a copied list; the
// checker itself must refuse a misspelt metric and a query that ignores the instance variable.
TEST(OpsFiles, DashboardQueriesOnlyMetricsTheServiceWrites) {
  test::TTempDir dir;
  const std::string metrics = dir.File("fenwold.prom");
  ASSERT_TRUE(test::WriteFileBytes(metrics, FormatMetrics(BusyMetrics())));
  const std::string check = kSource + "/scripts/check-dashboard.sh";
  const TRun shipped = Shell("'" + check + "' '" + kDashboard + "' '" + metrics + "'");
  EXPECT_EQ(shipped.status, 0) << shipped.output;
  EXPECT_EQ(shipped.output, "");

  const std::string json = test::ReadFileBytes(kDashboard);
  const struct {
    const char* from;
    const char* to;
    const char* reported;
  } faults[] = {
      {"fenwold_records_applied_total", "fenwold_record_applied_total",
       "fenwold_record_applied_total is not a metric Fenwold writes"},
      {"fenwold_last_tick_duration_seconds{instance=~\\\"$instance\\\"}",
       "fenwold_last_tick_duration_seconds", "not filtered on $instance"},
      {"\"uid\": \"${DS_PROMETHEUS}\"", "\"uid\": \"prometheus\"", "data source is not"},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.to);
    std::string broken = json;
    const size_t at = broken.find(f.from);
    ASSERT_NE(at, std::string::npos);
    broken.replace(at, std::string(f.from).size(), f.to);
    const std::string file = dir.File("broken.json");
    ASSERT_TRUE(test::WriteFileBytes(file, broken));
    const TRun run = Shell("'" + check + "' '" + file + "' '" + metrics + "'");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(f.reported), std::string::npos) << run.output;
  }
}

}  // namespace
}  // namespace fw

// The lines `fenwoldctl status` counts are the lines intake really writes: each failure the
// reader looks for is triggered here and found at the start of a log line.
#include "log/log_texts.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

// The texts of the log's lines, after "hh:nn:ss.zzz dd/mm/yy - ".
std::vector<std::string> Bodies(const std::string& log) {
  std::vector<std::string> bodies;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t dash = line.find(" - ");
    if (dash != std::string::npos) bodies.push_back(line.substr(dash + 3));
  }
  return bodies;
}

TEST(LogTexts, IntakeWritesTheLinesStatusCounts) {
  TIntakeEnv env(tdSqlite);
  ASSERT_TRUE(env.Ok());
  env.SetFolders();
  env.AddCardType("Day", false, false);
  env.AddCardType("Monthly", true, false);
  env.Exec(
      "INSERT INTO futurecard (command, number, card_type, add_value, group_name) VALUES "
      "('A', 1, '', 0, ''), ('A', 2, 'Nope', 0, ''), ('A', 3, 'Monthly', 23, ''), "
      "('A', 4, 'Day', 1, 'NoSuchGroup')");
  env.Drop("bad.csv", "A,12a,Day\n");
  env.Drop("good.csv", "A,5,Day\n");
  env.Intake().ScanCardFiles();

  const std::vector<std::string> bodies = Bodies(env.LogText());
  const auto written = [&](const char* start) {
    for (const std::string& body : bodies) {
      if (body.rfind(start, 0) == 0) return true;
    }
    return false;
  };
  for (const char* start : {logtext::kPickedUp, logtext::kStatementError, logtext::kCardTypeMissing,
                            logtext::kNoSuchCardType, logtext::kInvalidMonth, logtext::kWarning}) {
    EXPECT_TRUE(written(start)) << start << "\n" << env.LogText();
  }
}

}  // namespace
}  // namespace fw::test

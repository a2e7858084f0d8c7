// fenwoldctl check, run as the real binary against a registry file that names a test database.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/scramble.h"
#include "intake/card_schema.h"
#include "tests/support/db_fixture.h"
#include "tests/support/run_ctl.h"
#include "tests/support/temp_registry.h"

namespace fw {
namespace {

struct TRun {
  int status = -1;
  std::string out;
};

class CtlCheck : public test::TDbTest {
 protected:
  // Writes the settings of this test's database, with extra driver options, and runs check.
  TRun Check(const std::string& extraOptions = "", const std::string& password = "",
             const std::string& database = "", const std::string& environment = "") {
    test::TDbParams p = Params();
    if (!database.empty()) p.database = database;
    std::string options = p.options;
    if (!options.empty() && !extraOptions.empty()) options += ";";
    options += extraOptions;
    const auto scrambled = Scramble(password.empty() ? p.password : password);
    registry_.WriteExport(
        "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
        "\"DSNName\"=\"\"\r\n"
        "\"Database\"=\"" +
        p.database +
        "\"\r\n"
        "\"User\"=\"" +
        p.user +
        "\"\r\n"
        "\"Pass\"=\"" +
        scrambled.value_or("") +
        "\"\r\n"
        "\"ODBCDriver\"=\"" +
        p.driver +
        "\"\r\n"
        "\"ODBCOptions\"=\"" +
        options + "\"\r\n");
    TRun r;
    FILE* pipe = popen((std::string(test::kNoServiceAccount) + " " + environment + " " +
                        FENWOLD_CTL_BINARY + " check 2>&1")
                           .c_str(),
                       "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
    const int st = pclose(pipe);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  }
  // The card tables and a settings row naming three existing folders: all that check asks for.
  void CreateCardDatabase() {
    ASSERT_TRUE(
        test::ExecAll(*db, SplitSqlStatements(CardSchemaFor(test::SchemaName(Driver())))));
    std::string folders;
    for (const char* name : {"drop", "done", "errors"}) {
      const std::string folder = ScratchDir() + "/" + name;
      std::filesystem::create_directory(folder);
      folders += std::string(folders.empty() ? "" : ", ") + "'" + folder + "'";
    }
    ASSERT_TRUE(test::ExecAll(
        *db, {"INSERT INTO settings (audits_dir, dtlfiles_dir, dtlerrors_dir) VALUES (" + folders +
              ")"}));
  }
  static bool HasLine(const TRun& r, const std::string& start) {
    return r.out.find("\n" + start) != std::string::npos || r.out.rfind(start, 0) == 0;
  }

  test::TTempRegistry registry_;
};

// Driver kind as check names it, by test driver.
const char* const kKindNames[] = {"generic", "MySQL family", "PostgreSQL"};

TEST_P(CtlCheck, AllPassOnAReachableDatabaseWithSettings) {
  CreateCardDatabase();
  const TRun r =
      Check(Driver() == test::TTestDriver::kPostgres ? "UseDeclareFetch=1;Fetch=1000" : "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(HasLine(r, "ok    driver options:")) << r.out;
  EXPECT_TRUE(HasLine(r, "ok    card file encoding: auto; files that are not UTF-8 read as "
                         "windows-1252"))
      << r.out;
  EXPECT_TRUE(HasLine(r, "ok    connect (auto-commit, as MainDb): connected, driver kind " +
                             std::string(kKindNames[static_cast<int>(Driver())])))
      << r.out;
  EXPECT_TRUE(HasLine(r, "ok    connect (manual commit, as StagingDb)")) << r.out;
  EXPECT_TRUE(HasLine(r, "ok    settings: read, 4 columns")) << r.out;
  EXPECT_TRUE(HasLine(r, "ok    table futurecard: has the columns used")) << r.out;
  EXPECT_TRUE(HasLine(r, "ok    error folder (dtlerrors_dir): ")) << r.out;
  EXPECT_TRUE(HasLine(r, "ok    drop folder watch: watched for events (is on a ")) << r.out;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;

  // The service's account is the one named, not whatever this machine has: "nobody" cannot
  // write the test's folders (0700, root's), and no unit of this test opens them to it.
  ASSERT_EQ(geteuid(), 0u) << "asking the kernel as another account needs root";
  const TRun other = Check(Driver() == test::TTestDriver::kPostgres ? "UseDeclareFetch=1" : "", "",
                           "",
                           "FENWOLD_SERVICE_ACCOUNT=nobody FENWOLD_UNIT_DIR='" + ScratchDir() +
                               "/units'");
  EXPECT_EQ(other.status, 0) << other.out;
  EXPECT_TRUE(HasLine(other, "WARN  drop folder (audits_dir): " + ScratchDir() +
                                 "/drop is writable, but not for the account nobody"))
      << other.out;
  EXPECT_TRUE(HasLine(other, "WARN  sandbox: not writable inside the service's sandbox"))
      << other.out;

  // Root that may not change its identity cannot ask as the account: that is no pass.
  const TRun unasked =
      Check("", "", "",
            "FENWOLD_SERVICE_ACCOUNT=nobody setpriv --bounding-set=-setuid,-setgid "
            "--inh-caps=-setuid,-setgid");
  EXPECT_TRUE(HasLine(unasked, "WARN  error folder (dtlerrors_dir): " + ScratchDir() +
                                   "/errors is writable, but could not be tried as the account "
                                   "nobody"))
      << unasked.out;
}

TEST_P(CtlCheck, MissingSettingsFailWithTheDriversDiagnostics) {
  TRun r = Check();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(HasLine(r, "FAIL  settings: SELECT * FROM settings failed")) << r.out;
  EXPECT_NE(r.out.find("        "), std::string::npos) << "diagnostics indented: " << r.out;
  EXPECT_NE(r.out.find(". State:  "), std::string::npos) << r.out;

  ASSERT_TRUE(test::ExecAll(*db, {"CREATE TABLE settings (audits_dir VARCHAR(200))"}));
  r = Check();
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(HasLine(r, "FAIL  settings: the table settings has no row")) << r.out;
}

TEST_P(CtlCheck, RefusedConnectionFailsAndSkipsTheRest) {
  TRun r;
  if (IsSqlite()) {
    // SQLite ignores credentials: an unusable file stands for a refusal.
    r = Check("", "", ScratchDir() + "/no/such/folder/x.db");
  } else {
    r = Check("", "not-the-password");
  }
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(HasLine(r, "FAIL  connect (auto-commit, as MainDb)")) << r.out;
  EXPECT_TRUE(HasLine(r, "FAIL  connect (manual commit, as StagingDb)")) << r.out;
  EXPECT_TRUE(HasLine(r, "skip  settings: no connection")) << r.out;
  EXPECT_NE(r.out.find(". State:  "), std::string::npos) << r.out;
}

TEST_P(CtlCheck, WarnsAboutOptionsThatBreakStagingOrThePass) {
  struct Case {
    const char* options;
    std::vector<const char*> warnings;
  };
  const Case cases[] = {
      {"StepAPI=1;NoTXN=1", {"StepAPI=1", "NoTXN=1"}},
      {"OPTION=4194336", {"dynamic-cursor bit (32)", "automatic reconnect"}},
      {"Protocol=7.4-1", {"Protocol=7.4-1", "no UseDeclareFetch=1"}},
  };
  const Case& c = cases[static_cast<int>(Driver())];
  CreateCardDatabase();
  const TRun r = Check(c.options);
  EXPECT_EQ(r.status, 0) << "warnings alone pass: " << r.out;
  EXPECT_TRUE(HasLine(r, "WARN  driver options:")) << r.out;
  for (const char* warning : c.warnings) {
    EXPECT_NE(r.out.find(warning), std::string::npos) << warning << "\n" << r.out;
  }
}

// A ledger made before the unique identity (maybe already holding a file staged twice) is
// named with the statements that mend it, and those statements work as printed.
TEST_P(CtlCheck, NamesTheUpgradeOfALedgerWithoutItsUniqueIdentity) {
  CreateCardDatabase();
  TRun r = Check();
  EXPECT_TRUE(HasLine(r, "ok    card_file unique identity:")) << r.out;

  ASSERT_TRUE(test::ExecAll(
      *db, {Driver() == test::TTestDriver::kMariaDb ? "DROP INDEX card_file_identity ON card_file"
                                                   : "DROP INDEX card_file_identity"}));
  const std::string row =
      "INSERT INTO card_file (name, file_size, modified, content_hash, staged_at, outcome) "
      "VALUES ('a.csv', 10, 20, '0123456789abcdef', '2026-12-01 10:00:00', 'staged')";
  ASSERT_TRUE(test::ExecAll(*db, {row, row}));
  r = Check();
  EXPECT_EQ(r.status, 0) << "a warning: one server works without it\n" << r.out;
  EXPECT_TRUE(HasLine(r, "WARN  card_file unique identity: missing")) << r.out;
  for (const std::string& statement : CardFileIdentityUpgrade()) {
    EXPECT_NE(r.out.find(statement + ";"), std::string::npos) << r.out;
  }
  ASSERT_TRUE(test::ExecAll(*db, CardFileIdentityUpgrade()));
  EXPECT_EQ(test::QueryText(*db, "SELECT COUNT(*) FROM card_file"), "1");
  EXPECT_TRUE(HasLine(Check(), "ok    card_file unique identity:"));
  EXPECT_FALSE(test::ExecSql(*db, row)) << "the key refuses a second row";

  ASSERT_TRUE(test::ExecAll(*db, {"DROP TABLE card_file"}));
  r = Check();
  EXPECT_TRUE(HasLine(r, "WARN  table card_file (optional):")) << r.out;
  EXPECT_NE(r.out.find("exactly-once then depends on the share's locks"), std::string::npos)
      << r.out;
  EXPECT_TRUE(HasLine(r, "skip  card_file unique identity: no card_file table")) << r.out;
}

FW_ON_EVERY_DRIVER(CtlCheck);

}  // namespace
}  // namespace fw

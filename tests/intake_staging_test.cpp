// Staging of card files through real files on every test database.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "intake/card_intake.h"
#include "intake/reject_report.h"
#include "tests/support/intake_env.h"

namespace fw::test {
namespace {

class Staging : public ::testing::TestWithParam<TTestDb> {
 protected:
  void SetUp() override {
    env_ = std::make_unique<TIntakeEnv>(GetParam());
    if (!env_->Ok()) GTEST_FAIL() << "no database";
    env_->SetFolders();
  }
  TIntakeEnv& Env() { return *env_; }
  TCardIntake& Intake() { return env_->Intake(); }
  // Reads settings as a scan does, without listing.
  void ReadSettings() {
    Intake().Folders.drop = Env().drop;
    Intake().Folders.files = Env().Scalar("SELECT dtlfiles_dir FROM settings");
    Intake().Folders.errors = Env().Scalar("SELECT dtlerrors_dir FROM settings");
  }
  std::string Count(const std::string& table) {
    return Env().Scalar("SELECT COUNT(*) FROM " + table);
  }

  std::unique_ptr<TIntakeEnv> env_;
};

TEST_P(Staging, GroupInsertedThenUpdatedInOneFileKeepsCurInlot) {
  Env().Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('Blue', 5, 7)");
  ReadSettings();
  const std::string path = Env().Drop("groups.csv", "Red,10\r\nRed,20\r\n  Blue  ,30\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);

  const auto rows = Env().Query("SELECT name, max_inlot, cur_inlot FROM card_pool ORDER BY name");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("name"), "Blue");
  EXPECT_EQ(rows[0].at("max_inlot"), "30");
  EXPECT_EQ(rows[0].at("cur_inlot"), "7");
  EXPECT_EQ(rows[1].at("name"), "Red");
  EXPECT_EQ(rows[1].at("max_inlot"), "20");
  EXPECT_EQ(rows[1].at("cur_inlot"), "0");
  EXPECT_EQ(Env().LogCount("Picked up " + path), 1);
  EXPECT_FALSE(FileExistsAt(path));
  EXPECT_TRUE(FileExistsAt(Env().done + "/groups.csv"));
}

TEST_P(Staging, CardRowsWriteTheColumnsOfTheirFields) {
  ReadSettings();
  std::string full =
      "A,1234,Staff,Lobby desk,0730,20240305,1745,20241231,40,Blue,Doe,Jane,"
      "Main St 1,Leeds,LS1,0111,0222,AB12,CD34,ignored,m1,m2,m3,m4";
  const std::string path = Env().Drop("cards.csv", "C,99,Visitor\n" + full + "\n" + full +
                                                       ",25th,26th\nA,1234567890123456789,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);

  const auto rows = Env().Query("SELECT * FROM futurecard ORDER BY id");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].at("command"), "C");
  EXPECT_EQ(rows[0].at("number"), "99");
  EXPECT_EQ(rows[0].at("card_type"), "Visitor");
  EXPECT_EQ(rows[0].at("descr"), "") << "a 3-field row leaves the rest to the defaults";
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM futurecard WHERE descr IS NULL"), "2");

  for (int i : {1, 2}) {  // fields past the 24th are ignored
    const TRow& r = rows[i];
    EXPECT_EQ(r.at("number"), "1234");
    EXPECT_EQ(r.at("start_dt"), "2024-03-05 07:30:00");
    EXPECT_EQ(r.at("exp_iry"), "2024-12-31 17:45:00");
    EXPECT_EQ(r.at("add_value"), "40");
    EXPECT_EQ(r.at("group_name"), "Blue");
    EXPECT_EQ(r.at("license_2"), "CD34");
    EXPECT_EQ(r.at("misc_1"), "m1");
    EXPECT_EQ(r.at("misc_4"), "m4");
  }
  EXPECT_EQ(rows[3].at("number"), "1234567890123456789") << "wider than 32 bits";
  EXPECT_LT(std::stoll(rows[0].at("id")), std::stoll(rows[1].at("id")));
}

TEST_P(Staging, EmptyOrIgnoredOnlyFileIsCommittedAndMoved) {
  ReadSettings();
  for (const char* contents : {"", "\r\n\r\n", "just one field\n,\n"}) {
    const std::string path = Env().Drop("empty.csv", contents);
    EXPECT_EQ(Intake().ProcessCardFile(path), foStaged) << contents;
    EXPECT_TRUE(FileExistsAt(Env().done + "/empty.csv"));
    EXPECT_FALSE(FileExistsAt(path));
  }
  EXPECT_EQ(Env().LogCount("Picked up "), 3);
}

TEST_P(Staging, BadNumberRollsBackTheWholeFile) {
  ReadSettings();
  struct Case {
    const char* number;
  } cases[] = {{"12a"}, {"1 OR 1=1"}, {"1); DELETE FROM card_pool; --"}, {"0x10"}, {"1.5"}, {"+"}};
  for (const Case& c : cases) {
    const std::string path =
        Env().Drop("bad.csv", std::string("NewGroup,5\nA,100,T\nA,") + c.number + ",T\nA,101,T\n");
    EXPECT_EQ(Intake().ProcessCardFile(path), foRejected) << c.number;
    EXPECT_EQ(Count("futurecard"), "0") << c.number;
    EXPECT_EQ(Count("card_pool"), "0") << c.number;
    EXPECT_TRUE(FileExistsAt(Env().errors + "/bad.csv"));
    EXPECT_FALSE(FileExistsAt(path));
  }
  EXPECT_EQ(Env().LogCount("Error \""), 6);
  EXPECT_EQ(Env().LogCount("in SQL: INSERT INTO futurecard"), 6);
  EXPECT_EQ(Env().LogCount("Picked up"), 0);
}

TEST_P(Staging, FailedStatementIsLoggedWithTheDriverTextAndEveryBadLineCounts) {
  ReadSettings();
  // A table that lacks a column makes every full row fail, on any database.
  Env().Exec("DROP TABLE futurecard");
  Env().Exec(
      "CREATE TABLE futurecard (id INTEGER, command VARCHAR(20), number DECIMAL(20,0), "
      "card_type VARCHAR(20))");
  // The statement of each error line, in order: the same on every database. (The driver's
  // text before it may span lines.)
  const auto errorSqls = [&] {
    std::vector<std::string> sqls;
    const std::string log = Env().LogText();
    const std::string marker = "\" in SQL: ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
      const size_t start = at + marker.size();
      sqls.push_back(log.substr(start, log.find_first_of("\r\n", start) - start));
    }
    return sqls;
  };
  const std::vector<std::string> perFile = {
      "INSERT INTO futurecard (command, number, card_type, descr) Values ('A', 1, 'T', 'descr one')",
      "INSERT INTO futurecard (command, number, card_type, descr) Values ('A', 3, 'T', 'descr three')",
      "INSERT INTO futurecard (command, number, card_type) Values ('A', '4x', 'T')"};
  // On PostgreSQL also with psqlODBC's guard of each statement off (Protocol=7.4-0): the
  // server then refuses whatever follows a failed statement, unless staging guards each line.
  std::vector<std::string> modes = {""};
  if (GetParam() == tdPostgres) modes.push_back("Protocol=7.4-0");
  std::vector<std::string> expected;
  for (const std::string& mode : modes) {
    if (!mode.empty()) {
      TDbParams params = Env().Args();
      params.options += ";" + mode;
      Env().stagingDb.Disconnect();
      ASSERT_TRUE(params.Connect(Env().stagingDb, true)) << Env().stagingDb.LastError();
    }
    const std::string path =
        Env().Drop("x.csv", "G,1\nA,1,T,descr one\nA,2,T\nA,3,T,descr three\nA,4x,T\nA,5,T\n");
    EXPECT_EQ(Intake().ProcessCardFile(path), foRejected) << mode;
    expected.insert(expected.end(), perFile.begin(), perFile.end());
    EXPECT_EQ(errorSqls(), expected) << mode;
    EXPECT_EQ(Count("futurecard"), "0");
    EXPECT_EQ(Count("card_pool"), "0");
    EXPECT_TRUE(FileExistsAt(Env().errors + "/x.csv"));
  }
  // The report beside the rejected file names every bad line with the database's text.
  const std::string report = ReadFileBytes(Env().errors + "/x.csv.rejected.txt");
  EXPECT_EQ(FirstRejectReason(report).rfind("line 2: ", 0), 0u) << report;
  EXPECT_NE(report.find("\nLine 4: A,3,T,descr three\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nLine 5: A,4x,T\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nRejected: 3 bad line(s) of 6; "), std::string::npos) << report;
  // A bad first statement: psqlODBC ends the transaction itself, and the lines after it
  // must not all fail with it.
  const std::string first = Env().Drop("y.csv", "A,1,T,descr one\nA,2,T\nA,5,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(first), foRejected);
  expected.push_back(perFile[0]);
  EXPECT_EQ(errorSqls(), expected);
  EXPECT_EQ(Count("futurecard"), "0");
}

TEST_P(Staging, SameNameInDestinationIsReplaced) {
  ReadSettings();
  WriteFileBytes(Env().done + "/a.csv", "old contents");
  const std::string path = Env().Drop("a.csv", "A,1,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);
  EXPECT_EQ(ReadFileBytes(Env().done + "/a.csv"), "A,1,T\n");
}

TEST_P(Staging, CommittedFileLeftInDropFolderIsNeverStagedTwice) {
  Env().SetFolders(Env().drop, "", Env().errors);
  ReadSettings();
  const std::string path = Env().Drop("a.csv", "A,1,T\nA,2,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);
  EXPECT_TRUE(FileExistsAt(path));
  EXPECT_EQ(Env().LogCount("Cannot move"), 0) << "an empty destination is no failure";
  for (int scan = 0; scan < 3; ++scan) EXPECT_EQ(Intake().ProcessCardFile(path), foMoveRetried);
  EXPECT_EQ(Count("futurecard"), "2");

  // Once the setting names a folder, only the move happens.
  Env().SetFolders();
  ReadSettings();
  EXPECT_EQ(Intake().ProcessCardFile(path), foMoveRetried);
  EXPECT_FALSE(FileExistsAt(path));
  EXPECT_TRUE(FileExistsAt(Env().done + "/a.csv"));
  EXPECT_EQ(Count("futurecard"), "2");
  EXPECT_EQ(Env().LogCount("Picked up"), 1);

  // A new file of the same name is a new file.
  Env().Drop("a.csv", "A,3,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);
  EXPECT_EQ(Count("futurecard"), "3");
}

TEST_P(Staging, ReportOfARejectedFileStaysWhenItsMoveFails) {
  ReadSettings();
  // A folder in the way of the move: the report is written, the file cannot follow it.
  std::filesystem::create_directory(Env().errors + "/r.csv");
  const std::string path = Env().Drop("r.csv", "A,1x,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foRejected);
  EXPECT_EQ(Env().LogCount("Cannot move file: " + path), 1);
  EXPECT_TRUE(FileExistsAt(path));
  EXPECT_EQ(FirstRejectReason(ReadFileBytes(Env().errors + "/r.csv.rejected.txt")),
            "line 1: Value \"1x\" of NUMBER is not a whole number");
}

TEST_P(Staging, FailedMoveOfCommittedFileRetriesOnlyTheMove) {
  Env().SetFolders(Env().drop, Env().dir.File("missing"), Env().errors);
  ReadSettings();
  const std::string path = Env().Drop("a.csv", "A,1,T\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);
  EXPECT_EQ(Env().LogCount("Cannot move file: " + path + " to " + Env().dir.File("missing")), 1);
  EXPECT_EQ(Intake().ProcessCardFile(path), foMoveRetried);
  EXPECT_EQ(Env().LogCount("Cannot move file: "), 2);
  std::filesystem::create_directory(Env().dir.File("missing"));
  EXPECT_EQ(Intake().ProcessCardFile(path), foMoveRetried);
  EXPECT_TRUE(FileExistsAt(Env().dir.File("missing/a.csv")));
  EXPECT_EQ(Count("futurecard"), "1");
}

TEST_P(Staging, FileHeldOrReadOnlyWaitsForALaterScan) {
  ReadSettings();
  const std::string path = Env().Drop("held.csv", "A,1,T\n");
  {
    TFileHolder holder(path);
    EXPECT_EQ(Intake().ProcessCardFile(path), foHeld);
    EXPECT_EQ(Intake().ProcessCardFile(path), foHeld);
  }
  EXPECT_EQ(Env().LogCount("Failed to exclusively open " + path + ", will retry later."), 2);
  EXPECT_EQ(Count("futurecard"), "0");
  EXPECT_TRUE(FileExistsAt(path));

  ::chmod(path.c_str(), 0444);
  EXPECT_EQ(Intake().ProcessCardFile(path), foHeld);
  ::chmod(path.c_str(), 0644);
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged);
  EXPECT_EQ(Count("futurecard"), "1");
}

TEST_P(Staging, QuotesAndBackslashesAreStoredExactly) {
  ReadSettings();
  const std::string nasty = "O'Brien \\ 'x'' \\\\ end\\";
  std::string row = "A,77,T'\\";
  row += ",D" + nasty + ",,,,,5,G" + nasty;
  for (int i = 11; i <= 24; ++i)
    row += (i == 20 ? std::string(",skip") : "," + std::to_string(i) + nasty);
  const std::string path = Env().Drop("q.csv", "G" + nasty + ",3\nG" + nasty + ",4\n" + row + "\n");
  EXPECT_EQ(Intake().ProcessCardFile(path), foStaged) << Env().LogText();
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card_pool"), "1") << "the lookup found the group";
  EXPECT_EQ(Env().Scalar("SELECT name FROM card_pool"), "G" + nasty);
  EXPECT_EQ(Env().Scalar("SELECT max_inlot FROM card_pool"), "4");
  const auto rows = Env().Query("SELECT * FROM futurecard");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("card_type"), "T'\\");
  EXPECT_EQ(rows[0].at("descr"), "D" + nasty);
  EXPECT_EQ(rows[0].at("group_name"), "G" + nasty);
  EXPECT_EQ(rows[0].at("last_name"), "11" + nasty);
  EXPECT_EQ(rows[0].at("misc_4"), "24" + nasty);
}

TEST_P(Staging, ScanListsStagesAndRunsThePass) {
  const int type = Env().AddCardType("T", false, false);
  ASSERT_GT(type, 0);
  std::filesystem::create_directory(Env().drop + "/sub.csv");
  Env().Drop(".hidden.csv", "A,5,T\n");
  Env().Drop("notes.txt", "A,6,T\n");
  EXPECT_TRUE(Intake().ScanCardFiles());
  EXPECT_EQ(Count("futurecard"), "0");
  EXPECT_EQ(Count("card"), "0");

  // A staged record waits for a pass; the scan that finds files runs one.
  Env().Exec(
      "INSERT INTO futurecard (command, number, card_type, start_dt) VALUES "
      "('A', 9, 'T', {ts '2024-01-01 00:00:00'})");
  EXPECT_TRUE(Intake().ScanCardFiles());
  EXPECT_EQ(Count("card"), "0") << "no file listed: no pass";
  Env().Drop("one.CSV", "A,1,T\n");
  Env().Drop("two.csv", "A,2,T\nA,2x,T\n");
  EXPECT_TRUE(Intake().ScanCardFiles());
  EXPECT_EQ(Count("futurecard"), "0");
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM card WHERE number IN (1, 9)"), "2");
  EXPECT_TRUE(FileExistsAt(Env().done + "/one.CSV"));
  EXPECT_TRUE(FileExistsAt(Env().errors + "/two.csv"));
  EXPECT_TRUE(FileExistsAt(Env().drop + "/.hidden.csv"));
}

TEST_P(Staging, NoSettingsNoScan) {
  Env().Exec("DELETE FROM settings");
  Env().Drop("a.csv", "A,1,T\n");
  EXPECT_TRUE(Intake().ScanCardFiles());
  EXPECT_EQ(Intake().Folders.drop, "");
  EXPECT_EQ(Count("futurecard"), "0");
  EXPECT_EQ(Env().LogText().find("a.csv"), std::string::npos);
}

// A clock that fails once armed: the reader asks it for today's date for an empty date field.
class TFailingClock : public TClock {
 public:
  bool armed = false;
  TDateTime Now() const override {
    if (armed) throw std::runtime_error("clock failed");
    return At(2024, 5, 15, 12);
  }
};

TEST_P(Staging, ExceptionMidFileRollsBackBeforeAnythingElse) {
  ReadSettings();
  TFailingClock clock;
  TCardIntake intake(*Env().log, Env().mainDb, Env().stagingDb, clock);
  intake.Folders.files = Env().done;
  intake.Folders.errors = Env().errors;
  // The group and the first card row run before the empty date field of the third line.
  const std::string path = Env().Drop("a.csv", "Early,5\nA,1,T\nA,2,T,d,0800,,0900,,3\n");
  clock.armed = true;
  EXPECT_EQ(intake.ProcessCardFile(path), foLoadFailed);
  EXPECT_EQ(Env().LogCount("Failed to load " + path + ", will retry later"), 1);
  EXPECT_TRUE(FileExistsAt(path)) << "left for the next scan";

  // The next file's commit must not carry the first file's statements.
  clock.armed = false;
  EXPECT_EQ(intake.ProcessCardFile(Env().Drop("b.csv", "A,3,T\n")), foStaged);
  EXPECT_EQ(Count("card_pool"), "0");
  EXPECT_EQ(Env().Scalar("SELECT COUNT(*) FROM futurecard WHERE number IN (1, 2)"), "0");
  EXPECT_EQ(Count("futurecard"), "1");
  EXPECT_EQ(intake.ProcessCardFile(path), foStaged);
  EXPECT_EQ(Count("futurecard"), "3");
}

FW_ON_EVERY_DRIVER(Staging);

// Under SERIALIZABLE a group lookup is a locking read, and another client holds the group's
// row: the lookup times out. That is never "no such group" (which would stage the group a
// second time) nor a bad line: the file stays in the drop folder, one line names the lookup
// and its codes, and the scan after the lock is gone stages it with the one group row.
TEST(StagingLocked, AFailedGroupLookupLeavesTheFileForTheNextScan) {
  TIntakeEnv env(tdMariaDb);
  ASSERT_TRUE(env.Ok());
  env.SetFolders();
  env.Exec("INSERT INTO card_pool (name, max_inlot, cur_inlot) VALUES ('G', 10, 0)");
  ASSERT_TRUE(ExecSql(env.stagingDb, "SET SESSION TRANSACTION ISOLATION LEVEL SERIALIZABLE"));
  ASSERT_TRUE(ExecSql(env.stagingDb, "SET SESSION innodb_lock_wait_timeout = 1"));
  ASSERT_TRUE(env.stagingDb.EndTrans(false));
  const std::string path = env.Drop("g.csv", "G,4\nA,1,T\n");
  TODBC other;
  ASSERT_TRUE(env.Connect(other, true));
  ASSERT_TRUE(ExecSql(other, "SELECT id FROM card_pool WHERE name = 'G' FOR UPDATE"));

  EXPECT_EQ(env.Intake().ProcessCardFile(path), foLoadFailed);
  EXPECT_TRUE(FileExistsAt(path));
  EXPECT_EQ(env.LogCount("Failed to load " + path + ", will retry later: SQLSTATE HY000, "
                         "native 1205"), 1) << env.LogText();
  EXPECT_EQ(env.LogCount("in SQL: SELECT id FROM card_pool WHERE name = 'G'"), 1);
  EXPECT_EQ(env.Intake().Tally.linesRejected, 0u);

  ASSERT_TRUE(other.EndTrans(false));
  EXPECT_EQ(env.Intake().ProcessCardFile(path), foStaged) << env.LogText();
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM card_pool"), "1");
  EXPECT_EQ(env.Scalar("SELECT max_inlot FROM card_pool"), "4");
  EXPECT_EQ(env.Scalar("SELECT COUNT(*) FROM futurecard"), "1");
}

}  // namespace
}  // namespace fw::test

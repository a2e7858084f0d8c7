// An operator's round with a rejected file: fenwoldctl status names it with its first reason,
// and fenwoldctl requeue puts the corrected file back, refusing what must stay.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/intake_env.h"
#include "tests/support/run_ctl.h"

namespace fw::test {
namespace {

TEST(CtlOperator, StatusNamesTheRejectedFileAndRequeuePutsItBack) {
  TIntakeEnv db(tdSqlite);
  ASSERT_TRUE(db.Ok());
  db.SetFolders();
  const std::string registry = db.dir.File("registry.reg");
  WriteFileBytes(registry,
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
                 "\"Database\"=\"" + db.Args().database + "\"\r\n"
                 "\"ODBCDriver\"=\"SQLite3\"\r\n");
  const std::string logDir = db.dir.File("logs");
  std::filesystem::create_directory(logDir);
  const std::string env = "FENWOLD_REGISTRY=" + registry + " FENWOLD_LOG_DIR=" + logDir;
  TCardIntake& intake = db.Intake();
  ASSERT_TRUE(intake.ScanCardFiles());  // reads the folders

  // Rejected, with its report; a good file staged and (below) brought back by hand.
  EXPECT_EQ(intake.ProcessCardFile(db.Drop("bad.csv", "A,1,T\nA,12x,T\n")), foRejected);
  EXPECT_EQ(intake.ProcessCardFile(db.Drop("good.csv", "A,2,T\n")), foStaged);
  ASSERT_TRUE(FileExistsAt(db.errors + "/bad.csv.rejected.txt"));

  TCtlRun run = RunCtl(env, "status");
  EXPECT_NE(run.output.find("    bad.csv: line 2: Value \"12x\" of NUMBER is not a whole number"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(db.done + ": 1 file(s), "), std::string::npos) << run.output;
  run = RunCtl(env, "status --json");
  EXPECT_NE(run.output.find("\"rejected_today\": [{\"file\": \"bad.csv\", \"reason\": \"line 2: "),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\"done_files\": 1, \"done_bytes\": 6"), std::string::npos)
      << run.output;

  // The corrected file goes back beside a waiting file of the same name, under a new one.
  WriteFileBytes(db.errors + "/bad.csv", "A,1,T\nA,12,T\n");
  db.Drop("bad.csv", "A,3,T\n");
  // The staged file put into the error folder by hand (its time kept) must stay there; so
  // must a file another program still writes.
  std::filesystem::rename(db.done + "/good.csv", db.errors + "/good.csv");
  WriteFileBytes(db.errors + "/busy.csv", "A,4,T\n");
  {
    TFileHolder writer(db.errors + "/busy.csv");
    run = RunCtl(env, "requeue --all");
  }
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("requeued bad.csv as " + db.drop + "/bad-2.csv"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("refused good.csv: the card_file ledger knows it as staged"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("refused busy.csv: held by another program"), std::string::npos)
      << run.output;
  EXPECT_EQ(ReadFileBytes(db.drop + "/bad-2.csv"), "A,1,T\nA,12,T\n");
  EXPECT_EQ(ReadFileBytes(db.drop + "/bad.csv"), "A,3,T\n");
  EXPECT_FALSE(FileExistsAt(db.errors + "/bad.csv"));
  EXPECT_FALSE(FileExistsAt(db.errors + "/bad.csv.rejected.txt"));
  EXPECT_TRUE(FileExistsAt(db.errors + "/good.csv"));

  run = RunCtl(env, "requeue busy.csv");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFileBytes(db.drop + "/busy.csv"), "A,4,T\n");
  EXPECT_EQ(RunCtl(env, "requeue").status, 2);
}

}  // namespace
}  // namespace fw::test

// fenwoldctl scan, pass, schema and validate, run as the operator runs them.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/intake_env.h"
#include "tests/support/run_ctl.h"

namespace fw::test {
namespace {

TEST(CtlSchema, PrintsTheDdlFiles) {
  for (const char* db : {"mysql", "sqlite", "postgres"}) {
    const TCtlRun run = RunCtl("", std::string("schema ") + db);
    EXPECT_EQ(run.status, 0) << db;
    EXPECT_EQ(run.output,
              ReadFileBytes(std::string(FENWOLD_SOURCE_DIR) + "/schema/" + db + ".sql"));
  }
  EXPECT_EQ(RunCtl("", "schema oracle").status, 2);
  EXPECT_EQ(RunCtl("", "schema").status, 2);
}

TEST(CtlValidate, ShowsTheSqlAndFlagsLinesThatWouldFail) {
  TTempDir dir;
  WriteFileBytes(dir.File("good.csv"), "Blue,4\nA,12,Staff,O'Hara\n\n");
  WriteFileBytes(dir.File("bad.csv"), "A,12 OR 1=1,Staff\n");
  const std::string env = "FENWOLD_REGISTRY=" + (dir.File("none.reg"));
  TCtlRun run = RunCtl(env, "validate " + (dir.File("good.csv")));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("SELECT id FROM card_pool WHERE name = 'Blue'"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("INSERT INTO futurecard (command, number, card_type, descr) Values "
                            "('A', 12, 'Staff', 'O''Hara')"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("ignored"), std::string::npos);

  run = RunCtl(env, "validate " + (dir.File("good.csv")) + " " + (dir.File("bad.csv")));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("FAILS"), std::string::npos) << run.output;
  EXPECT_EQ(RunCtl(env, "validate").status, 2);
}

TEST(CtlScanAndPass, WorkOnTheRegistrysDatabaseAndWriteTheServiceLog) {
  TIntakeEnv db(tdSqlite);
  ASSERT_TRUE(db.Ok());
  db.SetFolders();
  db.AddCardType("Staff", false, false);
  db.Exec("INSERT INTO futurecard (command, number, card_type) VALUES ('A', 5, 'Staff')");
  const std::string registry = db.dir.File("registry.reg");
  WriteFileBytes(registry,
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
                 "\"DSNName\"=\"\"\r\n"
                 "\"Database\"=\"" +
                     db.Args().database +
                     "\"\r\n"
                     "\"ODBCDriver\"=\"SQLite3\"\r\n"
                     "\"ODBCOptions\"=\"JournalMode=WAL\"\r\n");
  const std::string logDir = db.dir.File("logs");
  std::filesystem::create_directory(logDir);
  const std::string env = "FENWOLD_REGISTRY=" + registry + " FENWOLD_LOG_DIR=" + logDir;

  TCtlRun run = RunCtl(env, "pass");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM card WHERE number = 5"), "1");

  db.Drop("new.csv", "A,6,Staff,From the tool\n");
  run = RunCtl(env, "scan");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(FileExistsAt(db.done + "/new.csv"));
  EXPECT_EQ(db.Scalar("SELECT descr FROM card WHERE number = 6"), "From the tool");

  std::string logText;
  for (const auto& entry : std::filesystem::directory_iterator(logDir)) {
    logText += ReadFileBytes(entry.path().string());
  }
  EXPECT_NE(logText.find("Picked up " + db.drop + "/new.csv"), std::string::npos) << logText;

  // check: the card tables and the three folders.
  run = RunCtl(env, "check");
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* line :
       {"ok    table card: has the columns used", "ok    table futurecard: has the columns used",
        "ok    drop folder (audits_dir): "}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  db.Exec("DROP TABLE card_type");
  db.Exec("CREATE TABLE card_type (id INTEGER, name VARCHAR(20), debit_flg INTEGER)");
  std::filesystem::remove(db.errors);
  run = RunCtl(env, "check");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("FAIL  table card_type: missing, or lacks a column used"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("FAIL  error folder (dtlerrors_dir): " + db.errors), std::string::npos)
      << run.output;

  // No database: exit 1 with the reason.
  WriteFileBytes(registry,
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
                 "\"ODBCDriver\"=\"No Such Driver\"\r\n");
  run = RunCtl(env, "scan");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("cannot connect"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace fw::test

// The database layer's text handling that needs no server: driver kinds, connection strings,
// file data sources, date and time texts, the third word of a statement.
#include <gtest/gtest.h>

#include "db/driver_kind.h"
#include "db/driver_text.h"
#include "db/odbc.h"
#include "db/statement.h"
#include "platform/strings.h"
#include "tests/support/db_fixture.h"

namespace fw {
namespace {

TEST(OneLine, EveryKindOfLineBreakBecomesOneSpace) {
  const struct {
    const char* text;
    const char* flat;
  } cases[] = {
      {"ERROR: value too long for type character varying(60);\nError while executing the query",
       "ERROR: value too long for type character varying(60); Error while executing the query"},
      {"a\r\nb", "a b"},
      {"a\rb\n", "a b "},
      {"a\n\nb", "a  b"},
      {"\r\n\r\n", "  "},
      {"no break", "no break"},
  };
  for (const auto& c : cases) EXPECT_EQ(OneLine(c.text), c.flat) << c.text;
}

TEST(DriverKind, FirstFamilyInTableOrderWins) {
  const struct {
    const char* text;
    TDriverKind kind;
  } cases[] = {
      {"Oracle in OraClient11g_home1", dkOracle},
      {"Firebird/InterBase(r) driver", dkFirebird},
      {"MySQL ODBC 3.51 Driver", dkMySql},
      {"MariaDB Unicode", dkMySql},
      {"DRIVER={MariaDB Unicode};SERVER=db1", dkMySql},
      {"SQL Server", dkSqlServer},
      {"SQL Native Client", dkSqlServer},
      {"CodeBase ODBC", dkCodeBase},
      {"PostgreSQL Unicode", dkPostgres},
      {"DRIVER={PostgreSQL ANSI};SERVER=db1", dkPostgres},
      {"/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so", dkPostgres},
      {"Microsoft Visual FoxPro Driver", dkFoxPro},
      {"Microsoft dBase Driver (*.dbf)", dkFoxPro},
      {"Microsoft Access Driver (*.mdb)", dkAccess},
      {"Microsoft Excel Driver (*.xls)", dkExcel},
      // Earlier rows win: "dbf" is tested before "access", "mysql" before "sql server".
      {"Microsoft Access dBASE Driver (*.dbf, *.ndx, *.mdx)", dkFoxPro},
      {"mysql bridge to sql server", dkMySql},
      {"ORACLE and MySQL", dkOracle},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DetectDriverKind(c.text, dkGeneric), c.kind) << c.text;
  }
}

TEST(DriverKind, UnknownTextKeepsTheCurrentKind) {
  EXPECT_EQ(DetectDriverKind("SQLite3", dkGeneric), dkGeneric);
  EXPECT_EQ(DetectDriverKind("SQLite3", dkMySql), dkMySql);
  EXPECT_EQ(DetectDriverKind("", dkOracle), dkOracle);
}

TEST(ConnectionString, AssembledPairsInOrder) {
  TODBC db;
  const struct {
    const char *dsn, *user, *password, *database, *driver, *options, *expected;
  } cases[] = {
      {"", "svc", "", "cards", "MySQL ODBC 3.51 Driver", "SERVER=db1;database=cards",
       "DRIVER={MySQL ODBC 3.51 Driver};Database=cards;UID=svc;SERVER=db1;database=cards"},
      {"cardsdsn", "u", "p", "", "", "", "DSN=cardsdsn;DRIVER={};UID=u;PWD=p"},
      {"", "", "", "ORCL", "Oracle in XE", "", "DRIVER={Oracle in XE};DBQ=ORCL"},
      {"", "", "", "c:\\data", "CodeBase", "", "DRIVER={CodeBase};DBQ=c:\\data"},
      {"", "", "", "c:\\dbf", "Microsoft Visual FoxPro Driver", "",
       "DRIVER={Microsoft Visual FoxPro Driver};SourceDB=c:\\dbf"},
      {"", "", "", "", "SQLite3", "", "DRIVER={SQLite3}"},
      // A value that would end its pair early is written between braces.
      {"", "u;x", "pa;ss}", "", "SQLite3", "", "DRIVER={SQLite3};UID={u;x};PWD={pa;ss}}}"},
      {"", "", "{odd", "", "SQLite3", "", "DRIVER={SQLite3};PWD={{odd}"},
      // MariaDB's driver gets the login timeout as its own key, unless the options set one.
      {"", "u", "", "cards", "MariaDB Unicode", "SERVER=db1",
       "DRIVER={MariaDB Unicode};Database=cards;UID=u;SERVER=db1;CONN_TIMEOUT=5"},
      {"", "", "", "", "MariaDB Unicode", "SERVER=db1;conn_timeout=20",
       "DRIVER={MariaDB Unicode};SERVER=db1;conn_timeout=20"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(db.BuildConnectionString(c.dsn, c.user, c.password, c.database, c.driver, c.options),
              c.expected);
  }
}

class FileDsn : public ::testing::Test {
 protected:
  std::string Write(const std::string& text) {
    const std::string path = dir_.File("cards.dsn");
    test::WriteFileBytes(path, text);
    return path;
  }
  test::TTempDir dir_;
};

TEST_F(FileDsn, OdbcSectionInFileOrderWithBracedDriver) {
  const std::string path = Write(
      "[other]\nDRIVER=ignored\n[ODBC]\nDRIVER=MariaDB Unicode\nSERVER=db1\nPORT=3306\n"
      "Database=cards\n");
  EXPECT_EQ(FileDsnText(path), "DRIVER={MariaDB Unicode};SERVER=db1;PORT=3306;Database=cards");
  TODBC db;
  // The file's pairs stand in for DSN, DRIVER and the database; credentials and options follow.
  EXPECT_EQ(db.BuildConnectionString(path, "u", "p", "ignored", "ignored too", "OPTION=3"),
            "DRIVER={MariaDB Unicode};SERVER=db1;PORT=3306;Database=cards;UID=u;PWD=p;OPTION=3;"
            "CONN_TIMEOUT=5");
}

TEST_F(FileDsn, SectionNameIgnoresCaseAndBracedDriverStaysAsItIs) {
  EXPECT_EQ(FileDsnText(Write("[odbc]\ndriver={SQLite3 ODBC}\nDatabase=/tmp/x.db\n")),
            "driver={SQLite3 ODBC};Database=/tmp/x.db");
  EXPECT_EQ(FileDsnText(Write("[ODBC]\nDRIVER=SQLite3\n")), "DRIVER=SQLite3");
}

TEST_F(FileDsn, WithoutOdbcSectionFallsBackToTheNamedPairs) {
  const std::string path = Write("[something]\nDRIVER=x\n");
  EXPECT_EQ(FileDsnText(path), "");
  EXPECT_EQ(FileDsnText(dir_.File("missing.dsn")), "");
  TODBC db;
  EXPECT_EQ(db.BuildConnectionString(path, "", "", "cards", "SQLite3", ""),
            "DSN=" + path + ";DRIVER={SQLite3};Database=cards");
}

TEST(DateTimeText, FixedPositionsWithDefaults) {
  const struct {
    TDateTime (*parse)(const std::string&);
    const char* text;
    TDateTime expected;
  } cases[] = {
      {ParseDate, "2024-03-05", EncodeDate(2024, 3, 5)},
      {ParseDate, "2024/03/05 anything", EncodeDate(2024, 3, 5)},
      {ParseDate, "2024-02-29", EncodeDate(2024, 2, 29)},
      {ParseDate, "2024-02-30", 0},
      {ParseDate, "0000-01-01", 0},
      {ParseDate, "", 0},
      {ParseDate, "2024", EncodeDate(2024, 12, 30)},  // missing fields take their defaults
      {ParseDate, "2024-xx-05", EncodeDate(2024, 12, 5)},
      {ParseTime, "07:30:15", EncodeTime(7, 30, 15)},
      {ParseTime, "23:59:59.999", EncodeTime(23, 59, 59)},
      {ParseTime, "24:00:00", 0},
      {ParseTime, "12:60:00", 0},
      {ParseTime, "838:59:59", 0},  // a MariaDB TIME beyond a day
      {ParseTime, "", 0},
      {ParseDateTime, "2024-03-05 07:30:00", EncodeDate(2024, 3, 5) + EncodeTime(7, 30, 0)},
      {ParseDateTime, "2024-03-05 07:30:00.123456", EncodeDate(2024, 3, 5) + EncodeTime(7, 30, 0)},
      {ParseDateTime, "2024-03-05", EncodeDate(2024, 3, 5)},
      {ParseDateTime, "9999-12-31 23:59:59", EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59)},
      {ParseDateTime, "2024-02-10 25:00:00", 0},  // not the date alone
      {ParseDateTime, "2024-02-30 10:00:00", 0},
      {ParseDateTime, "", 0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(c.parse(c.text), c.expected) << c.text;
  }
}

TEST(ThirdWord, IsTheUpperCasedWordAfterTheSecondBlank) {
  const struct {
    const char *sql, *word;
  } cases[] = {
      {"SELECT number INTO tmp FROM card", "INTO"},
      {"select number into tmp from card", "INTO"},
      {"SELECT id FROM card_pool WHERE name = 'x'", "FROM"},
      {"SELECT x", "X"},
      {"SELECT", "SELECT"},
      {"SELECT a  b", "B"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ThirdWord(c.sql), c.word) << c.sql;
  }
}

}  // namespace
}  // namespace fw

// TConnParams over the registry file: defaults, read kinds, ConnectOptions.
#include "config/conn_params.h"

#include <gtest/gtest.h>

#include "config/scramble.h"
#include "platform/files.h"
#include "platform/text_encoding.h"
#include "tests/support/temp_registry.h"

namespace fw {
namespace {

using test::TTempRegistry;

const std::string kKelvo = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Kelvo]\r\n";
const std::string kJava = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment]\r\n";
const std::string kTomcat =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apache Software Foundation\\Tomcat\\5.5]\r\n";

void ExpectDefaults(const TConnParams& p) {
  EXPECT_EQ(p.DSNName, "");
  EXPECT_EQ(p.Host, "127.0.0.1");
  EXPECT_EQ(p.Database, "orvik");
  EXPECT_EQ(p.User, "dbowner");
  EXPECT_EQ(p.Pass, "vornex");
  EXPECT_EQ(p.ODBCDriver, "MySQL ODBC 3.51 Driver");
  EXPECT_EQ(p.ODBCOptions, "SERVER=%h;database=%d");
  EXPECT_EQ(p.ConnectOptions(), "SERVER=127.0.0.1;database=orvik");
  EXPECT_EQ(p.SMTPServer, "");
  EXPECT_EQ(p.FromEmail, "");
  EXPECT_EQ(p.EmailUser, "");
  EXPECT_EQ(p.EmailPass, "");
  EXPECT_FALSE(p.WebSiteEnabled);
  EXPECT_FALSE(p.AuthReq);
  EXPECT_EQ(p.WebSiteLocation, "c:\\inetpub\\wwwroot");
  EXPECT_EQ(p.BackupEmailAddress, "");
  EXPECT_FALSE(p.BackupNotify);
  EXPECT_TRUE(p.DebugLog);
  EXPECT_EQ(p.BackupDays, 0);
  EXPECT_EQ(p.BackupTime, 0);
  EXPECT_EQ(p.BackupDest, ExtractFilePath(ExecutablePath()) + "Backup");
  EXPECT_FALSE(p.BackupUnique);
  EXPECT_FALSE(p.JavaInstalled);
  EXPECT_EQ(p.DTLFreq, 0);
  EXPECT_EQ(p.CardFileEncoding, "auto");
  EXPECT_EQ(p.CardFileCodePage, DefaultLegacyEncoding());
  EXPECT_EQ(p.DoneRetentionDays, 0) << "the done folder keeps everything";
  EXPECT_EQ(p.MetricsFile, "") << "no metrics file";
  EXPECT_FALSE(p.CardFilePollMs.has_value()) << "the drop folder's file system decides";
}

TEST(ConnParams, DefaultsWithoutFileEmptyKeyOrWrongTypes) {
  const std::string files[] = {
      "",  // no file at all
      kKelvo,
      // Every value stored with a kind its read cannot take.
      kKelvo +
          "\"Host\"=dword:00000001\r\n\"Database\"=hex:41\r\n\"User\"=dword:00000000\r\n"
          "\"Pass\"=dword:00000001\r\n\"ODBCDriver\"=hex(7):41,00,00,00\r\n"
          "\"ODBCOptions\"=dword:00000002\r\n\"DebugLog\"=\"0\"\r\n\"BackupDays\"=\"7\"\r\n"
          "\"BackupTime\"=\"5\"\r\n\"DTLFreq\"=hex:05,00,00,00\r\n\"WebSiteEnabled\"=\"1\"\r\n"
          "\"WebSiteLocation\"=dword:00000001\r\n\"BackupDest\"=dword:00000001\r\n"
          "\"CardFileEncoding\"=dword:00000001\r\n\"CardFileCodePage\"=hex:31,32\r\n"
          "\"CardFilePollMs\"=\"500\"\r\n",
  };
  for (const std::string& body : files) {
    TTempRegistry reg;
    if (!body.empty()) reg.WriteExport(body);
    SCOPED_TRACE(body);
    ExpectDefaults(TConnParams());
  }
}

TEST(ConnParams, EveryValueIsRead) {
  TTempRegistry reg;
  reg.WriteExport(kKelvo +
                  "\"DSNName\"=\"cards\"\r\n\"Host\"=\"db1\"\r\n\"Database\"=\"c\"\r\n"
                  "\"User\"=\"svc\"\r\n\"Pass\"=\"" +
                  *Scramble("pw 1") +
                  "\"\r\n"
                  "\"ODBCDriver\"=\"MariaDB Unicode\"\r\n\"ODBCOptions\"=\"O=%h\"\r\n"
                  "\"SMTPServer\"=\"smtp\"\r\n\"FromEmail\"=\"f@x\"\r\n"
                  "\"EmailUser\"=\"eu\"\r\n\"EmailPass\"=\"" +
                  *Scramble("ep") +
                  "\"\r\n"
                  "\"WebSiteEnabled\"=dword:00000001\r\n\"AuthReq\"=dword:00000002\r\n"
                  "\"WebSiteLocation\"=\"/srv/www\"\r\n"
                  "\"BackupEmailAddress\"=\"b@x\"\r\n\"BackupNotify\"=dword:00000001\r\n"
                  "\"DebugLog\"=dword:00000000\r\n\"BackupDays\"=dword:00000007\r\n"
                  "\"BackupTime\"=dword:ffffffff\r\n\"BackupDest\"=\"/var/backup\"\r\n"
                  "\"BackupUnique\"=dword:00000001\r\n\"DTLFreq\"=dword:0000000f\r\n"
                  "\"CardFileEncoding\"=\"utf-8\"\r\n\"CardFileCodePage\"=\"1250\"\r\n"
                  "\"DoneRetentionDays\"=dword:0000001e\r\n\"MetricsFile\"=\"/m/fw.prom\"\r\n"
                  "\"CardFilePollMs\"=dword:00000000\r\n");
  const TConnParams p;
  EXPECT_EQ(p.DSNName, "cards");
  EXPECT_EQ(p.Host, "db1");
  EXPECT_EQ(p.Database, "c");
  EXPECT_EQ(p.User, "svc");
  EXPECT_EQ(p.Pass, "pw 1");
  EXPECT_EQ(p.ODBCDriver, "MariaDB Unicode");
  EXPECT_EQ(p.ConnectOptions(), "O=db1");
  EXPECT_EQ(p.SMTPServer, "smtp");
  EXPECT_EQ(p.FromEmail, "f@x");
  EXPECT_EQ(p.EmailUser, "eu");
  EXPECT_EQ(p.EmailPass, "ep");
  EXPECT_TRUE(p.WebSiteEnabled);
  EXPECT_TRUE(p.AuthReq);
  EXPECT_EQ(p.WebSiteLocation, "/srv/www");
  EXPECT_EQ(p.BackupEmailAddress, "b@x");
  EXPECT_TRUE(p.BackupNotify);
  EXPECT_FALSE(p.DebugLog);
  EXPECT_EQ(p.BackupDays, 7);
  EXPECT_EQ(p.BackupTime, -1);
  EXPECT_EQ(p.BackupDest, "/var/backup");
  EXPECT_TRUE(p.BackupUnique);
  EXPECT_EQ(p.DTLFreq, 15);
  EXPECT_EQ(p.CardFilePollMs, std::optional<int32_t>(0)) << "0 turns the poll off, even on a share";
  EXPECT_EQ(p.CardFileEncoding, "utf-8");
  EXPECT_EQ(p.CardFileCodePage, "1250");
  EXPECT_EQ(p.DoneRetentionDays, 30);
  EXPECT_EQ(p.MetricsFile, "/m/fw.prom");
}

TEST(ConnParams, EmptyStringsAreUsedAsStored) {
  TTempRegistry reg;
  reg.WriteExport(kKelvo +
                  "\"Pass\"=\"\"\r\n\"Host\"=\"\"\r\n\"ODBCOptions\"=\"\"\r\n"
                  "\"BackupDest\"=\"\"\r\n\"DebugLog\"=dword:00000000\r\n");
  const TConnParams p;
  EXPECT_EQ(p.Pass, "");
  EXPECT_EQ(p.Host, "");
  EXPECT_EQ(p.ODBCOptions, "");
  EXPECT_EQ(p.ConnectOptions(), "");
  EXPECT_EQ(p.BackupDest, "");
  EXPECT_FALSE(p.DebugLog);
}

TEST(ConnParams, WebSiteLocationDefaultFollowsJava) {
  struct Case {
    std::string body;
    bool java;
    std::string location;
  } cases[] = {
      {kJava + "\"CurrentVersion\"=\"1.8\"\r\n", true, ""},  // Java without Tomcat
      {kJava + "\"CurrentVersion\"=\"1.8\"\r\n" + kTomcat + "\"InstallPath\"=\"D:\\\\Tomcat\"\r\n",
       true, "D:\\Tomcat"},
      {kJava + "\"CurrentVersion\"=\"\"\r\n" + kTomcat + "\"InstallPath\"=\"D:\\\\Tomcat\"\r\n",
       false, "c:\\inetpub\\wwwroot"},
      {kJava + "\"CurrentVersion\"=\"1.8\"\r\n" + kKelvo + "\"WebSiteLocation\"=\"/w\"\r\n", true,
       "/w"},
  };
  for (const Case& c : cases) {
    TTempRegistry reg;
    reg.WriteExport(c.body);
    const TConnParams p;
    EXPECT_EQ(p.JavaInstalled, c.java) << c.body;
    EXPECT_EQ(p.WebSiteLocation, c.location) << c.body;
  }
}

TEST(ConnParams, ConnectOptionsReplacesInOrder) {
  struct Case {
    std::string options, host, database, user, pass, expected;
  } cases[] = {
      {"SERVER=%h;UID=%u;PWD=%p;DATABASE=%d", "h", "d", "u", "p",
       "SERVER=h;UID=u;PWD=p;DATABASE=d"},
      {"%h%h;%d%d", "a", "b", "u", "p", "aa;bb"},
      {"SERVER=%H;DB=%D", "h", "d", "u", "p", "SERVER=%H;DB=%D"},  // case-sensitive
      {"A=%x;B=%;C=%%h", "h", "d", "u", "p", "A=%x;B=%;C=%h"},
      // Text brought in by a replacement is subject to the later ones, never the earlier ones.
      {"S=%h", "db-%d", "cards", "u", "p", "S=db-cards"},
      {"S=%h", "%u@%p", "d", "usr", "pw", "S=usr@pw"},
      {"U=%u", "h", "d", "%h%d", "p", "U=%h%d"},
      {"P=%p", "h", "d", "u", "%h%d%u", "P=%h%d%u"},
      {"", "h", "d", "u", "p", ""},
  };
  TTempRegistry reg;
  TConnParams p;
  for (const Case& c : cases) {
    p.ODBCOptions = c.options;
    p.Host = c.host;
    p.Database = c.database;
    p.User = c.user;
    p.Pass = c.pass;
    EXPECT_EQ(p.ConnectOptions(), c.expected) << c.options << " host=" << c.host;
  }
}

}  // namespace
}  // namespace fw

// TRegistryEx over the registry file: every read and its Missing flag.
#include "config/registry.h"

#include <gtest/gtest.h>

#include "config/scramble.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_platform.h"

namespace fw {
namespace {

using test::TTempRegistry;
using test::Utf16Le;

const char kKey[] = "\\Software\\Quorvane\\Kelvo\\";

// One of each kind a setting may be stored as.
void WriteSettings(const TTempRegistry& reg) {
  reg.WriteExport(
      "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Kelvo]\r\n"
      "\"Text\"=\"hello\"\r\n"
      "\"Empty\"=\"\"\r\n"
      "\"NumText\"=\"12\"\r\n"
      "\"Expand\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,25,"
      "00,\\\r\n  00,00\r\n"
      "\"WithNul\"=hex(1):41,00,00,00,42,00,00,00\r\n"
      "\"Two\"=dword:00000002\r\n"
      "\"Zero\"=dword:00000000\r\n"
      "\"Neg\"=dword:ffffffff\r\n"
      "\"Bin\"=hex:01,00,00,00\r\n"
      "\"EmptyBin\"=hex:\r\n"
      "\"Short\"=hex(4):01,00\r\n"
      "\"Long\"=hex(4):01,00,00,00,00\r\n"
      "\"Multi\"=hex(7):41,00,00,00,00,00\r\n");
}

TEST(RegistryEx, ReadString) {
  TTempRegistry reg;
  WriteSettings(reg);
  struct Case {
    const char* name;
    std::string value;
    bool missing;
  } cases[] = {
      {"Text", "hello", false}, {"TEXT", "hello", false},
      {"Empty", "", false},     {"Expand", "%SystemRoot%", false},  // returned unexpanded
      {"WithNul", "A", false},                                      // cut at the first NUL
      {"EmptyBin", "", false},  // empty data is empty text, whatever its type
      {"Two", "", true},        {"Bin", "", true},
      {"Multi", "", true},      {"Absent", "", true},
  };
  TRegistryEx r(kKey);
  for (const Case& c : cases) {
    EXPECT_EQ(r.ReadString(c.name), c.value) << c.name;
    EXPECT_EQ(r.Missing(), c.missing) << c.name;
    EXPECT_EQ(r.ReadStringDef(c.name, "def"), c.missing ? "def" : c.value) << c.name;
    EXPECT_EQ(r.Missing(), c.missing) << c.name;
  }
}

TEST(RegistryEx, ReadIntegerAndBool) {
  TTempRegistry reg;
  WriteSettings(reg);
  struct Case {
    const char* name;
    int32_t value;
    bool missing;
  } cases[] = {
      {"Two", 2, false}, {"two", 2, false},    {"Zero", 0, false}, {"Neg", -1, false},
      {"Text", 0, true}, {"NumText", 0, true}, {"Bin", 0, true},   {"Short", 0, true},
      {"Long", 0, true}, {"Absent", 0, true},  {"Empty", 0, true},
  };
  TRegistryEx r(kKey);
  for (const Case& c : cases) {
    EXPECT_EQ(r.ReadInteger(c.name), c.value) << c.name;
    EXPECT_EQ(r.Missing(), c.missing) << c.name;
    EXPECT_EQ(r.ReadIntegerDef(c.name, 77), c.missing ? 77 : c.value) << c.name;
    EXPECT_EQ(r.ReadBool(c.name), c.value != 0) << c.name;
    EXPECT_EQ(r.Missing(), c.missing) << c.name;
    EXPECT_EQ(r.ReadBoolDef(c.name, true), c.missing || c.value != 0) << c.name;
    EXPECT_EQ(r.ReadBoolDef(c.name, false), !c.missing && c.value != 0) << c.name;
  }
}

TEST(RegistryEx, ReadScrambled) {
  TTempRegistry reg;
  const std::string scrambled = *Scramble("s3cret pass");
  reg.WriteExport("[HKLM\\K]\r\n\"Pass\"=\"" + scrambled + "\"\r\n\"Empty\"=\"\"\r\n");
  TRegistryEx r("\\K\\");
  EXPECT_EQ(r.ReadScrambled("Pass"), "s3cret pass");
  EXPECT_FALSE(r.Missing());
  EXPECT_EQ(r.ReadScrambled("Empty"), "");
  EXPECT_FALSE(r.Missing());
  EXPECT_EQ(r.ReadScrambled("Absent"), "");
  EXPECT_TRUE(r.Missing());
}

TEST(RegistryEx, KeyThatCannotBeOpenedCountsAsMissing) {
  TTempRegistry reg;
  reg.WriteExport("[HKLM\\A]\r\n\"V\"=\"a\"\r\n\"N\"=dword:00000005\r\n");
  TRegistryEx r("\\A\\");
  EXPECT_FALSE(r.Missing());  // before any read
  EXPECT_EQ(r.KeyPath(), "\\A\\");
  EXPECT_EQ(r.ReadString("V"), "a");
  EXPECT_FALSE(r.Missing());

  r.SetKeyPath("\\B\\");  // absent: read-only, so it cannot be opened
  EXPECT_EQ(r.KeyPath(), "\\B\\");
  EXPECT_EQ(r.ReadString("V"), "");
  EXPECT_TRUE(r.Missing());
  EXPECT_EQ(r.ReadStringDef("V", "d"), "d");
  EXPECT_EQ(r.ReadIntegerDef("N", 9), 9);
  EXPECT_TRUE(r.ReadBoolDef("N", true));

  r.SetKeyPath("\\a");  // back to the key, written another way
  EXPECT_EQ(r.ReadInteger("N"), 5);
  EXPECT_FALSE(r.Missing());
}

TEST(RegistryEx, NoRegistryFileAtAll) {
  TTempRegistry reg;
  TRegistryEx r(kKey);
  EXPECT_EQ(r.ReadStringDef("Host", "127.0.0.1"), "127.0.0.1");
  EXPECT_TRUE(r.Missing());
  EXPECT_EQ(r.ReadScrambled("Pass"), "");
  EXPECT_TRUE(r.Missing());
}

// A settings file as a Windows export writes it: UTF-16LE with a byte-order mark, CRLF, long
// hex lines wrapped with "\" and two blanks.
TEST(RegistryEx, WindowsExportReadsBackRight) {
  std::string file = "\xff\xfe";
  file += Utf16Le(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Kelvo]\r\n"
      "\"DSNName\"=\"\"\r\n"
      "\"Host\"=\"db1.example.lan\"\r\n"
      "\"ODBCOptions\"=\"SERVER=%h;DATABASE=%d\"\r\n"
      "\"Path\"=\"C:\\\\Program Files\\\\Kelvo\\\\\"\r\n"
      "\"DebugLog\"=dword:00000001\r\n"
      "\"BackupTime\"=dword:0000ea60\r\n"
      "\"WebSiteLocation\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,\\\r\n"
      "  6f,00,74,00,25,00,5c,00,77,00,77,00,77,00,00,00\r\n"
      "\r\n");
  file += Utf16Le("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Kelvo\\Sub]\r\n\"User\"=\"");
  file += std::string("\xe9\x00\x6c\x00", 4);  // "él", a character beyond ASCII
  file += Utf16Le("\"\r\n\r\n");
  ASSERT_EQ(file.substr(0, 6), std::string("\xff\xfeW\0i\0", 6));

  TTempRegistry reg;
  reg.Write(file);
  testing::internal::CaptureStderr();
  TRegistryEx r(kKey);
  EXPECT_EQ(r.ReadStringDef("DSNName", "x"), "");
  EXPECT_EQ(r.ReadString("Host"), "db1.example.lan");
  EXPECT_EQ(r.ReadString("ODBCOptions"), "SERVER=%h;DATABASE=%d");
  EXPECT_EQ(r.ReadString("Path"), "C:\\Program Files\\Kelvo\\");
  EXPECT_TRUE(r.ReadBoolDef("DebugLog", false));
  EXPECT_FALSE(r.Missing());
  EXPECT_EQ(r.ReadInteger("BackupTime"), 60000);
  EXPECT_EQ(r.ReadString("WebSiteLocation"), "%SystemRoot%\\www");
  EXPECT_FALSE(r.Missing());
  r.SetKeyPath("\\Software\\Quorvane\\Kelvo\\Sub\\");
  EXPECT_EQ(r.ReadString("User"), "\xc3\xa9l");  // UTF-8 on both platforms
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace fw

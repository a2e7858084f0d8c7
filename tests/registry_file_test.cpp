// The registry export format as the Linux registry reads it.
#include "platform/posix/registry_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/temp_registry.h"

namespace fw {
namespace {

using test::TTempRegistry;
using test::Utf16Le;

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kKeyLine = "[HKEY_LOCAL_MACHINE\\Software\\K]\r\n";

TRegFileKeys Parse(const std::string& file, std::vector<TRegFileProblem>* problems = nullptr) {
  std::vector<TRegFileProblem> local;
  TRegFileKeys keys = ParseRegistryFile(file, problems ? *problems : local);
  if (!problems) {
    for (const auto& p : local) ADD_FAILURE() << "line " << p.line << ": " << p.reason;
  }
  return keys;
}

std::vector<int> Lines(const std::vector<TRegFileProblem>& problems) {
  std::vector<int> lines;
  for (const auto& p : problems) lines.push_back(p.line);
  return lines;
}

TEST(RegistryFile, ValueKinds) {
  struct Case {
    const char* line;
    TRegDataType type;
    std::string bytes;
  } cases[] = {
      {"\"A\"=\"text\"", rdString, "text"},
      {"\"A\"=\"say \\\"hi\\\" C:\\\\dir\\\\\"", rdString, "say \"hi\" C:\\dir\\"},
      {"\"A\"=\"C:\\temp\"", rdString, "C:\\temp"},  // a lone backslash stands for itself
      {"\"A\"=\"\"", rdString, ""},
      {"\"A\"=\"a=b;c\"", rdString, "a=b;c"},
      {"\"A\" = \"spaced\"", rdString, "spaced"},
      {"\"A\"=dword:0000002a", rdInteger, std::string("\x2a\0\0\0", 4)},
      {"\"A\"=DWORD:FFFFFFFE", rdInteger, "\xfe\xff\xff\xff"},
      {"\"A\"=dword:1", rdInteger, std::string("\x01\0\0\0", 4)},
      {"\"A\"=hex:01,ff,7F", rdBinary, "\x01\xff\x7f"},
      {"\"A\"=hex:", rdBinary, ""},
      {"\"A\"=hex(2):25,00,41,00,25,00,00,00", rdExpandString, std::string("%A%\0", 4)},
      {"\"A\"=hex(2):e9,00,3d,d8,00,de,00,d8", rdExpandString,
       "\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbd"},
      {"\"A\"=hex(1):41,00,00,00", rdString, std::string("A\0", 2)},
      {"\"A\"=hex(4):2a,00,00,00", rdInteger, std::string("\x2a\0\0\0", 4)},
      {"\"A\"=hex(7):41,00,00,00,00,00", rdUnknown, std::string("A\0\0\0\0\0", 6)},
      {"\"A\"=hex(b):01,00,00,00,00,00,00,00", rdUnknown, std::string("\x01\0\0\0\0\0\0\0", 8)},
      {"\"A\"=hex(0):", rdUnknown, ""},
      {"\"A\"=hex(2):25,00,41,00,\\\r\n  25,00", rdExpandString, "%A%"},
      {"\"A\"=hex:01,\\\r\n  02,\\\r\n  03", rdBinary, "\x01\x02\x03"},
  };
  for (const Case& c : cases) {
    const TRegFileKeys keys = Parse(kHeader + kKeyLine + c.line + "\r\n");
    const auto key = keys.find("software\\k");
    ASSERT_NE(key, keys.end()) << c.line;
    const auto value = key->second.find("a");
    ASSERT_NE(value, key->second.end()) << c.line;
    EXPECT_EQ(value->second.type, c.type) << c.line;
    EXPECT_EQ(value->second.bytes, c.bytes) << c.line;
  }
}

TEST(RegistryFile, Regedit4TextsAreEightBit) {
  const TRegFileKeys keys =
      Parse("REGEDIT4\n\n[HKLM\\K]\n\"A\"=hex(2):25,41,e9,25,00\n\"B\"=\"\xe9\"\n");
  EXPECT_EQ(keys.at("k").at("a").bytes, std::string("%A\xe9%\0", 5));
  EXPECT_EQ(keys.at("k").at("b").bytes, "\xe9");
}

TEST(RegistryFile, EncodingsAndLineEnds) {
  const std::string body = "[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"x\xc3\xa9\"\r\n";
  std::string utf16 = "\xff\xfe" + Utf16Le(kHeader + "[HKEY_LOCAL_MACHINE\\K]\r\n\"A\"=\"x");
  utf16 += std::string("\xe9\x00", 2) + Utf16Le("\"\r\n");
  const std::string files[] = {
      kHeader + body,                   // UTF-8, CRLF
      "\xef\xbb\xbf" + kHeader + body,  // UTF-8 with a byte-order mark
      "Windows Registry Editor Version 5.00\n\n[HKLM\\K]\n\"A\"=\"x\xc3\xa9\"",  // LF, no last
                                                                                 // break
      utf16,  // what a Windows export writes
  };
  for (const std::string& f : files) {
    const TRegFileKeys keys = Parse(f);
    ASSERT_TRUE(keys.contains("k"));
    ASSERT_TRUE(keys.at("k").contains("a"));
    EXPECT_EQ(keys.at("k").at("a").bytes, "x\xc3\xa9");
  }
}

TEST(RegistryFile, KeysAndNames) {
  const TRegFileKeys keys = Parse(kHeader +
                                  "; settings\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\Kelvo\\]\r\n"
                                  "\"HoSt\"=\"one\"\r\n"
                                  "@=\"default\"\r\n"
                                  "\"Gone\"=\"x\"\r\n"
                                  "[hklm\\software\\QUORVANE\\kelvo]\r\n"
                                  "\"HOST\"=\"two\"\r\n"  // a later value replaces the earlier
                                  "\"gone\"=-\r\n"
                                  "[HKEY_CURRENT_USER\\Software\\Quorvane\\Kelvo]\r\n"
                                  "\"Host\"=\"user's\"\r\n"
                                  "[HKCU\\Other]\r\n"
                                  "[HKLM\\Software\\Old\\Sub]\r\n"
                                  "[HKLM\\Software\\Older]\r\n"
                                  "[-HKLM\\Software\\Old]\r\n"
                                  "\"Lost\"=\"x\"\r\n");
  const TRegFileValues& kelvo = keys.at("software\\quorvane\\kelvo");
  EXPECT_EQ(kelvo.at("host").bytes, "two");
  EXPECT_EQ(kelvo.at("").bytes, "default");
  EXPECT_FALSE(kelvo.contains("gone"));
  // Parents of a key exist; removed keys take their subkeys along, not their neighbours.
  for (const char* k : {"", "software", "software\\quorvane", "software\\older"}) {
    EXPECT_TRUE(keys.contains(k)) << k;
  }
  for (const char* k : {"software\\old", "software\\old\\sub", "other"}) {
    EXPECT_FALSE(keys.contains(k)) << k;
  }
  EXPECT_EQ(NormalizeRegKeyPath("\\Software\\\\Quorvane\\Kelvo\\"), "software\\quorvane\\kelvo");
}

TEST(RegistryFile, BadLinesAreSkippedWithTheirLineNumbers) {
  struct Case {
    std::string file;
    std::vector<int> lines;
    bool restCounts = true;  // "B" reads "ok" in key K, and no bad line left a value behind
  } cases[] = {
      {kHeader + kKeyLine + "garbage\r\n\"B\"=\"ok\"\r\n", {4}},
      {kHeader + kKeyLine + "\"A\"=\"unterminated\r\n\"B\"=\"ok\"\r\n", {4}},
      {kHeader + kKeyLine + "\"A\"=\"x\" trailing\r\n\"B\"=\"ok\"\r\n", {4}},
      {kHeader + kKeyLine + "\"A=\"x\"\r\n\"B\"=\"ok\"\r\n", {4}},
      {kHeader + kKeyLine + "\"A\"\r\n\"A\"=\r\n\"A\"=text\r\n\"B\"=\"ok\"\r\n", {4, 5, 6}},
      {kHeader + kKeyLine +
           "\"A\"=dword:123456789\r\n\"A\"=dword:\r\n\"A\"=dword:12x\r\n"
           "\"B\"=\"ok\"\r\n",
       {4, 5, 6}},
      {kHeader + kKeyLine +
           "\"A\"=hex:1,2g\r\n\"A\"=hex:001\r\n\"A\"=hex:01,,02\r\n"
           "\"A\"=hex(zz):00\r\n\"A\"=hex(2)00\r\n\"B\"=\"ok\"\r\n",
       {4, 5, 6, 7, 8}},
      // A continued entry is reported at its first line; line counting goes on right after it.
      {kHeader + kKeyLine + "\"A\"=hex:01,\\\r\n  zz\r\n\"B\"=\"ok\"\r\nbad\r\n", {4, 7}},
      // A key line that cannot be read sends the values after it nowhere, not into the key before.
      {kHeader + kKeyLine + "\"B\"=\"ok\"\r\n[HKLM\\Software\\Other\r\n\"C\"=\"x\"\r\n", {5}},
      {kHeader + kKeyLine + "\"B\"=\"ok\"\r\n[HKEY_NOWHERE\\x]\r\n\"C\"=\"x\"\r\n", {5}},
      {kHeader + "\"C\"=\"x\"\r\n" + kKeyLine + "\"B\"=\"ok\"\r\n", {3}},
      // Without a header the file still counts.
      {kKeyLine + "\"B\"=\"ok\"\r\n", {1}},
      {"\r\n\r\nREGEDIT 5\r\n" + kKeyLine + "\"B\"=\"ok\"\r\n", {3}},
      {"\xfe\xff" + kHeader, {1}, false},
  };
  for (const Case& c : cases) {
    std::vector<TRegFileProblem> problems;
    const TRegFileKeys keys = Parse(c.file, &problems);
    EXPECT_EQ(Lines(problems), c.lines) << c.file;
    for (const auto& p : problems) EXPECT_FALSE(p.reason.empty());
    if (!c.restCounts) {
      EXPECT_TRUE(keys.empty());
      continue;
    }
    const auto k = keys.find("software\\k");
    ASSERT_NE(k, keys.end()) << c.file;
    EXPECT_EQ(k->second.size(), 1u) << c.file;
    EXPECT_EQ(k->second.at("b").bytes, "ok") << c.file;
  }
}

// Through the seam: the file named by FENWOLD_REGISTRY.

TEST(RegistryFileSeam, MissingFileIsAnEmptyRegistry) {
  TTempRegistry reg;
  testing::internal::CaptureStderr();
  TRegKey key;
  EXPECT_FALSE(key.Open("\\"));
  EXPECT_FALSE(key.Open("\\Software\\Quorvane\\Kelvo\\"));
  EXPECT_FALSE(key.IsOpen());
  TRegData data;
  EXPECT_FALSE(key.QueryValue("Host", data));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_NE(RegistryLocation().find("not found"), std::string::npos);
}

TEST(RegistryFileSeam, AbsentKeyCannotBeOpenedAndOpeningClosesThePreviousKey) {
  TTempRegistry reg;
  reg.WriteExport("[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"V\"=\"a\"\r\n");
  TRegKey key;
  TRegData data;
  ASSERT_TRUE(key.Open("\\SOFTWARE\\a\\"));
  ASSERT_TRUE(key.QueryValue("v", data));
  EXPECT_EQ(data.bytes, "a");
  EXPECT_TRUE(key.Open("Software"));  // a parent exists
  EXPECT_FALSE(key.QueryValue("V", data));
  EXPECT_FALSE(key.Open("\\Software\\B\\"));
  EXPECT_FALSE(key.IsOpen());
  EXPECT_FALSE(key.QueryValue("V", data));
}

TEST(RegistryFileSeam, EachBadLineIsReportedOncePerFileContents) {
  TTempRegistry reg;
  reg.WriteExport("[HKLM\\K]\r\nnonsense\r\n\"V\"=\"a\"\r\n\"W\"=dword:xyz\r\n");
  testing::internal::CaptureStderr();
  TRegKey key;
  TRegData data;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(key.Open("K"));
    ASSERT_TRUE(key.QueryValue("V", data));
    EXPECT_FALSE(key.QueryValue("W", data));
  }
  std::string err = testing::internal::GetCapturedStderr();
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(err, reg.Path() + ", line 4:"), 1u) << err;
  EXPECT_EQ(count(err, reg.Path() + ", line 6:"), 1u) << err;
  EXPECT_EQ(count(err, ", line "), 2u) << err;

  // An edited file is read anew, and its own bad lines are reported.
  reg.WriteExport("[HKLM\\K]\r\n\"V\"=\"b\"\r\n\r\n\r\n\"X\"=nope\r\n");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(key.Open("K"));
  ASSERT_TRUE(key.QueryValue("V", data));
  EXPECT_EQ(data.bytes, "b");
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(err, ", line "), 1u) << err;
  EXPECT_EQ(count(err, ", line 7:"), 1u) << err;
}

TEST(RegistryFileSeam, PathThatIsNoRegularFileIsReportedAndEmpty) {
  TTempRegistry reg;
  const std::string fifo = reg.Dir() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A folder, and a FIFO that no one writes (it must not hang the open).
  for (const std::string& path : {reg.Dir(), fifo}) {
    setenv("FENWOLD_REGISTRY", path.c_str(), 1);
    testing::internal::CaptureStderr();
    TRegKey key;
    EXPECT_FALSE(key.Open("\\"));
    EXPECT_FALSE(key.Open("\\"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path + " cannot be read"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot be read"), err.rfind("cannot be read")) << err;
  }
}

}  // namespace
}  // namespace fw

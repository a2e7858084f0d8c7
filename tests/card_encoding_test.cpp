// How card file bytes are decoded: byte-order marks, UTF-8 detection, legacy code pages, mixed
// files, and encoding names.
#include "intake/card_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "platform/text_encoding_names.h"

namespace fw {
namespace {

using namespace std::string_literals;
using Lines = std::vector<size_t>;

TEST(DecodeCardFile, MarksDetectionAndSettings) {
  const TCardFileEncoding autoDetect{"auto", ""};
  const struct {
    std::string bytes;
    TCardFileEncoding setting;
    const char *encoding, *how;
    std::string text;
    size_t replaced;
    Lines utf8, other;
  } cases[] = {
      {"", autoDetect, "utf-8", "valid UTF-8", "", 0, {}, {}},
      {"\xEF\xBB\xBF" "A,1", autoDetect, "utf-8", "byte-order mark", "A,1", 0, {}, {}},
      {"\xFF\xFE" "A\0,\0\xFC\0"s, autoDetect, "utf-16le", "byte-order mark", "A,ü", 0, {}, {}},
      {"\xFE\xFF\0A\0,\0\xFC"s, autoDetect, "utf-16be", "byte-order mark", "A,ü", 0, {}, {}},
      // A NUL of UTF-16 text is no end of the text; an odd last byte and a lone surrogate are.
      {"\xFF\xFE" "A\0\n\0B"s, autoDetect, "utf-16le", "byte-order mark", "A\n\xEF\xBF\xBD", 1,
       {}, {}},
      {"\xFF\xFE\x00\xD8" "A\0"s, autoDetect, "utf-16le", "byte-order mark", "\xEF\xBF\xBD" "A",
       1, {}, {}},
      // The mark decides over a fixed setting.
      {"\xFF\xFE" "A\0"s, {"windows-1252", ""}, "utf-16le", "byte-order mark", "A", 0, {}, {}},
      {"Zo\xC3\xAB \xF0\x9F\x98\x80", autoDetect, "utf-8", "valid UTF-8", "Zoë 😀", 0, {}, {}},
      {"M\xFCller", autoDetect, "windows-1252", "not UTF-8", "Müller", 0, {}, {1}},
      {"\xB3\xF3" "d\xBC", {"auto", "iso-8859-2"}, "iso-8859-2", "not UTF-8", "łódź", 0, {}, {1}},
      {"\xB3\xF3" "d\x9F", {"", "1250"}, "1250", "not UTF-8", "łódź", 0, {}, {1}},
      // Not UTF-8: an overlong form, a surrogate, past U+10FFFF, a sequence cut short.
      {"\xC0\x80", autoDetect, "windows-1252", "not UTF-8", "À€", 0, {}, {1}},
      {"\xED\xA0\x80", autoDetect, "windows-1252", "not UTF-8", "í\u00A0€", 0, {}, {1}},
      {"\xF4\x90\x80\x80", autoDetect, "windows-1252", "not UTF-8", "ô\xEF\xBF\xBD€€", 1, {}, {1}},
      {"ok\n\xE2\x82", autoDetect, "windows-1252", "not UTF-8", "ok\nâ‚", 0, {}, {2}},
      // A byte Windows-1252 leaves undefined is replaced and counted.
      {"a\x81z", autoDetect, "windows-1252", "not UTF-8", "a\xEF\xBF\xBDz", 1, {}, {1}},
      {"M\xC3\xBCller\r\nplain\r\nM\xFCller\r\n", autoDetect, "windows-1252", "not UTF-8",
       "MÃ¼ller\r\nplain\r\nMüller\r\n", 0, {1}, {3}},
      {"M\xC3\xBCller", {"Windows-1252", ""}, "Windows-1252", "CardFileEncoding", "MÃ¼ller", 0,
       {1}, {}},
      {"M\xC3\xBCller", {"UTF-8", ""}, "UTF-8", "CardFileEncoding", "Müller", 0, {}, {}},
#ifndef _WIN32
      // A UTF-32 mark decides, not the UTF-16 mark it begins with; under a UTF-16 setting
      // it is that mark and a NUL.
      {"\xFF\xFE\0\0" "A\0\0\0"s, {"utf-32", ""}, "utf-32le", "byte-order mark", "A", 0, {}, {}},
      {"\0\0\xFE\xFF\0\0\0A"s, {"UCS-4", ""}, "utf-32be", "byte-order mark", "A", 0, {}, {}},
      {"\xFF\xFE\0\0" "A\0\0\0"s, autoDetect, "utf-32le", "byte-order mark", "A", 0, {}, {}},
      {"\0\0\xFE\xFF\0\0\0A"s, {"windows-1252", ""}, "utf-32be", "byte-order mark", "A", 0, {},
       {}},
      {"\xFF\xFE\0\0" "A\0"s, {"utf-16le", ""}, "utf-16le", "byte-order mark", "\0A"s, 0, {}, {}},
      // A bad unit is skipped whole, however the name is spelt: the rest stays in step.
      {"a\0\x00\xDC" "b\0"s, {"utf-16", ""}, "utf-16", "CardFileEncoding", "a\uFFFDb", 1, {}, {}},
      {"a\0\0\0\0\0\0\x80" "b\0\0\0"s, {"ucs-4le", ""}, "ucs-4le", "CardFileEncoding",
       "a\uFFFDb", 1, {}, {}},
      // Wide units are no 8-bit text: U+A9C3 holds the bytes of "é" in UTF-8, U+00EB no UTF-8.
      {"\xC3\xA9\0\0\n\0\0\0\xEB\0\0\0"s, {"utf-32le", ""}, "utf-32le", "CardFileEncoding",
       "\uA9C3\në", 0, {}, {}},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    TCardText out;
    ASSERT_TRUE(DecodeCardFile(c.bytes, c.setting, out)) << out.error;
    EXPECT_EQ(out.encoding, c.encoding);
    EXPECT_EQ(out.how, c.how);
    EXPECT_EQ(out.text, c.text);
    EXPECT_EQ(out.replaced, c.replaced);
    EXPECT_EQ(out.utf8Lines, c.utf8);
    EXPECT_EQ(out.otherLines, c.other);
    EXPECT_EQ(out.Mixed(), !c.utf8.empty() && !c.other.empty());
  }
}

TEST(DecodeCardFile, RefusesWhatItCannotReadTrulyAndSaysWhy) {
  const struct {
    std::string bytes;
    TCardFileEncoding setting;
    bool badSetting;
    const char* error;
  } cases[] = {
      {"ok\r\nok\rM\xFCller", {"utf8", ""}, false,
       "not valid UTF-8 in line 3 (byte 9), which CardFileEncoding requires"},
      {"\xEF\xBB\xBF" "A\n\n\xC3", {"auto", ""}, false,
       "not valid UTF-8 in line 3 (byte 7), though it begins with a UTF-8 byte-order mark"},
      {"A", {"no-such-thing", ""}, true, "unknown encoding \"no-such-thing\" in CardFileEncoding"},
      {"\xFC", {"auto", "cp99999"}, true, "unknown encoding \"cp99999\" in CardFileCodePage"},
#ifdef _WIN32
      // No setting can mend what the file's own mark names.
      {"\xFF\xFE\0\0" "A\0\0\0"s, {"auto", ""}, false,
       "begins with the byte-order mark of utf-32le, which this system cannot read"},
#endif
  };
  for (const auto& c : cases) {
    TCardText out;
    EXPECT_FALSE(DecodeCardFile(c.bytes, c.setting, out));
    EXPECT_EQ(out.error, c.error);
    EXPECT_EQ(out.badSetting, c.badSetting);
    EXPECT_EQ(out.text, "");
  }
}

TEST(EncodingNames, CodePagesAsOperatorsWriteThem) {
  const struct {
    const char* name;
    unsigned codePage;
  } cases[] = {
      {"1250", 1250},       {"cp1251", 1251},   {"Windows-1252", 1252}, {"ISO-8859-2", 28592},
      {"iso8859-15", 28605}, {"Latin1", 28591}, {"UTF-8", 65001},       {"utf8", 65001},
      {"65001", 65001},     {"UTF-16LE", 1200}, {"iso-8859-17", 0},     {"cp", 0},
      {"123456", 0},        {"windows-12a2", 0}, {"euc-jp", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CodePageOf(c.name), c.codePage) << c.name;
  for (const char* known : {"1250", "cp1251", "windows-1252", "iso-8859-2", "utf-8", "koi8-r"}) {
    EXPECT_TRUE(IsKnownEncoding(known)) << known;
  }
  for (const char* unknown : {"", "auto", "cp99999", "windows-12a2"}) {
    EXPECT_FALSE(IsKnownEncoding(unknown)) << unknown;
  }
}

}  // namespace
}  // namespace fw

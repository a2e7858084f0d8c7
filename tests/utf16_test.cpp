// UTF-8 to UTF-16 and back, as every Windows system edge and the ODBC wide calls convert: every
// character kept, and what is no text replaced and counted, never dropped.
#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace fw {
namespace {

TEST(Utf16, EveryCharacterSurvivesTheRoundTrip) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"", u""},
      {"A,1", u"A,1"},
      {"M\xC3\xBCller", u"M\u00FCller"},                     // two bytes
      {"\xE2\x82\xAC \xE6\x9D\xB1", u"\u20AC \u6771"},       // three bytes
      {"\xF0\x9F\x9A\x97", u"\xD83D\xDE97"},                 // beyond the BMP: a pair
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},                 // the last character
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // a NUL is a character
      {"\xEF\xBF\xBD", u"\uFFFD"},                           // U+FFFD itself: no loss
  };
  for (const auto& c : cases) {
    size_t replaced = 0;
    EXPECT_EQ(Utf8ToUtf16(c.utf8, &replaced), c.utf16) << c.utf8;
    EXPECT_EQ(Utf16ToUtf8(c.utf16, &replaced), c.utf8) << c.utf8;
    EXPECT_EQ(replaced, 0u) << c.utf8;
  }
}

TEST(Utf16, WhatIsNoTextIsReplacedOneByteOrUnitAtATime) {
  // As glibc's iconv counts, so that both platforms report the same number of replacements.
  const struct {
    std::string utf8;
    std::u16string utf16;
    size_t replaced;
  } fromUtf8[] = {
      {"a\x81z", u"a\uFFFDz", 1},                            // a stray continuation byte
      {"\xC0\xAF", u"\uFFFD\uFFFD", 2},                      // an overlong slash
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", 3},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", 4},  // past U+10FFFF
      {"ok\xE2\x82", u"ok\uFFFD\uFFFD", 2},                  // cut short at the end
      {"\xE2\x82\x41", u"\uFFFD\uFFFD\x41", 2},              // cut short by a character
  };
  for (const auto& c : fromUtf8) {
    size_t replaced = 0;
    EXPECT_EQ(Utf8ToUtf16(c.utf8, &replaced), c.utf16) << c.utf8;
    EXPECT_EQ(replaced, c.replaced) << c.utf8;
  }
  const struct {
    std::u16string utf16;
    std::string utf8;
    size_t replaced;
  } fromUtf16[] = {
      {u"\xD83D\x41", "\xEF\xBF\xBD\x41", 1},            // a high surrogate alone
      {u"A\xDE97", "A\xEF\xBF\xBD", 1},                  // a low surrogate alone
      {u"\xDE97\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD", 2},  // a pair the wrong way round
  };
  for (const auto& c : fromUtf16) {
    size_t replaced = 0;
    EXPECT_EQ(Utf16ToUtf8(c.utf16, &replaced), c.utf8);
    EXPECT_EQ(replaced, c.replaced);
  }
}

}  // namespace
}  // namespace fw

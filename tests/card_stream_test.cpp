// A card file read in pieces says and gives exactly what the whole file decoded at once does:
// the hash, the encoding and why, the error, the mixed lines, every line and the characters
// replaced, also where a line break, a bad byte or a NUL falls at or past the edge of a piece,
// in UTF-16 of either byte order, in the other Unicode forms and in encodings read whole.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "intake/card_encoding.h"
#include "intake/card_ledger.h"
#include "intake/card_stream.h"
#include "platform/folder.h"
#include "platform/utf16.h"
#include "tests/support/temp_dir.h"

namespace fw::test {
namespace {

constexpr size_t kPiece = 1 << 20;  // as read at a time

// About `size` bytes of card-like lines with every kind of line break, some non-ASCII.
std::string Lines(size_t size, unsigned seed, const std::string& nonAscii = "Zoë") {
  std::mt19937 random(seed);
  const std::vector<std::string> breaks = {"\r\n", "\n", "\r", "\n\r", "\r\n\r\n"};
  std::string out;
  while (out.size() < size) {
    out += "A," + std::to_string(random() % 100000) + ",Day," +
           std::string(random() % 300, 'x') + (random() % 50 == 0 ? nonAscii : "") +
           breaks[random() % breaks.size()];
  }
  return out;
}

// UTF-16 code units as bytes of either order; units, so that a surrogate may stand alone.
std::string Units(std::u16string_view units, bool bigEndian) {
  std::string out;
  for (const char16_t u : units) {
    const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
    out += bigEndian ? high : low;
    out += bigEndian ? low : high;
  }
  return out;
}

std::string Utf16(std::string_view utf8, bool bigEndian) {
  return Units(Utf8ToUtf16(utf8), bigEndian);
}

// Code points as UTF-32 bytes of either order.
std::string Utf32(std::string_view utf8, bool bigEndian) {
  const std::u16string units = Utf8ToUtf16(utf8);
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    for (int k = 0; k < 4; ++k) out += static_cast<char>(c >> 8 * (bigEndian ? 3 - k : k));
  }
  return out;
}

struct TCase {
  std::string name;
  std::string bytes;
  std::string encoding = "auto";
  std::string legacy = "windows-1252";
};

// Forms whose order is the converter's (the x86 host's, or set), larger than a piece; the
// first piece ends at a break, and the next starts with a unit a converter could take for a
// byte-order mark. Encodings whose breaks are not bytes for certain are read whole (CP500 is
// EBCDIC: its byte 0x0A is no LF). Windows knows only UTF-16LE and UTF-16BE of these.
std::vector<TCase> OtherFormCases() {
  const std::string text = Lines(kPiece + 5000, 30, "Zoë😀ഊĊ");
  const std::string edge16 = Utf16(std::string(kPiece / 2 - 1, 'a') + "\n", false);
  const std::string edge32 = Utf32(std::string(kPiece / 4 - 1, 'a') + "\n", false);
  return {
      {"utf-16, no mark", edge16 + Units(u"\xFFFE,1\r\n", false) + Utf16(text, false),
       "utf-16"},
      {"UNICODE, no mark", edge16 + Utf16("\uFEFF,1\r\n" + text, false), "UNICODE"},
      {"ucs-2, no mark", edge16 + Utf16("\uFEFF,1\r\n" + text, false), "ucs-2"},
      {"utf-32, no mark", edge32 + Utf32("\uFEFF,1\r\n" + text, false), "utf-32"},
      {"utf-32, big-endian mark", std::string("\0\0\xFE\xFF", 4) + Utf32(text, true), "utf-32"},
      {"ucs-4, little-endian mark", std::string("\xFF\xFE\0\0", 4) + Utf32(text, false),
       "ucs-4"},
      {"auto, UTF-32LE mark", std::string("\xFF\xFE\0\0", 4) + Utf32(text, false)},
      {"ucs-4, cut-off last unit", Utf32(text, true) + std::string("\0\0", 2), "ucs-4"},
      {"utf-32le, lone surrogate", Utf32(text, false) + "\x00\xD8\0\0\n\0\0\0" + edge32,
       "utf-32le"},
      {"utf-16, lone surrogate", Units(u"a\xDC00,1\r\n", false) + edge16 + Utf16(text, false),
       "utf-16"},
      {"auto, legacy UTF-16LE", Utf16(text, false), "auto", "1200"},
      {"auto, legacy UTF-16BE", Utf16(text, true), "auto", "utf-16be"},
      {"CP500, read whole", Lines(kPiece + 5000, 31), "cp500"},
      {"EUC-JP, read whole", Lines(kPiece + 5000, 32, "\xA4\xA2"), "euc-jp"},
  };
}

// UTF-16 files whose awkward units fall at the edge of the first read: the mark and `units`
// of filler put what follows at byte kPiece - 2. U+0D0A and U+010A hold the bytes of a CR
// and an LF; U+1F600 is a surrogate pair.
std::vector<TCase> Utf16Cases(bool bigEndian) {
  const std::string order = bigEndian ? "BE: " : "LE: ";
  const std::string mark = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  const auto u = [&](std::string_view utf8) { return Utf16(utf8, bigEndian); };
  const auto raw = [&](std::u16string_view units) { return Units(units, bigEndian); };
  const std::string atEdge = mark + u(std::string(kPiece / 2 - 2, 'a'));
  const std::string lineAtEdge = mark + u(std::string(kPiece / 2 - 3, 'a') + "\n");
  const std::string tail = u(Lines(kPiece / 2, 20, "Zoë😀ഊĊ"));
  const std::string head = u(Lines(1000, 21, "ഊ"));
  const std::string toEdge = mark + head + u(std::string((kPiece - 2 - head.size()) / 2, 'b'));
  return {
      {order + "breaks of every kind, surrogate pairs",
       mark + u(Lines(kPiece + 5000, 22, "Zoë😀ഊĊ"))},
      {order + "CR LF across the edge", atEdge + u("\r\n") + tail},
      {order + "lone CR at the edge", atEdge + u("\rb\n") + tail},
      {order + "surrogate pair across the edge, after a break", lineAtEdge + u("😀,1\r\n") + tail},
      {order + "lone high surrogate at the edge", lineAtEdge + raw(u"\xD800x\r\n") + tail},
      {order + "lone surrogates before breaks", tail + raw(u"a\xD83D\r\n\xDE00\n\xDC00") + tail},
      {order + "U+FEFF starts the second piece", atEdge + u("\n\uFEFFA,1,Day\r\n") + tail},
      {order + "odd last byte past the edge", toEdge + "A"},
      {order + "cut-off pair, then an odd byte", tail + raw(u"\xD83D") + "A"},
      {order + "a line longer than a piece", mark + head + u(std::string(kPiece, 'z')) + tail},
      {order + "NUL late", mark + tail + u(std::string(1, '\0') + "A,1,Day\r\n")},
      {order + "set, no mark", tail + u("\r\n") + tail, bigEndian ? "utf-16be" : "utf-16le"},
      {order + "just the mark", mark},
  };
}

TEST(CardStream, PiecesReadAsTheWholeFile) {
  const std::string big = Lines(2 * kPiece + 5000, 7);
  std::vector<TCase> cases = {
      {"breaks of every kind", big},
      // A CR the last byte of the first read, its LF the first of the next.
      {"CR LF across the edge", std::string(kPiece - 1, 'a') + "\r\n" + Lines(kPiece, 8)},
      {"lone CR at the edge", std::string(kPiece - 1, 'a') + "\rb\n" + Lines(1000, 9)},
      {"a line longer than a piece", Lines(1000, 10) + std::string(kPiece * 3 / 2, 'z') +
                                         "\r\n" + Lines(1000, 11)},
      {"not UTF-8 late: mixed", big + "\xE9t\xE9\r\n" + Lines(1000, 12)},
      {"BOM, bad byte late", "\xEF\xBB\xBF" + big + "\xC3(\r\n" + Lines(1000, 13)},
      {"UTF-8 set, bad byte late", big + "\xFF\r\n", "utf-8"},
      {"legacy set", big + "\xE9\r\n", "windows-1252"},
      {"unknown encoding set", big, "no-such-encoding"},
      {"NUL late", big + std::string(1, '\0') + "A,1,Day\r\n"},
      {"no final break", Lines(kPiece + 10, 14) + "A,2,Day"},
      {"empty", ""},
  };
  for (const bool bigEndian : {false, true}) {
    for (TCase& c : Utf16Cases(bigEndian)) cases.push_back(std::move(c));
  }
  for (TCase& c : OtherFormCases()) cases.push_back(std::move(c));
  TTempDir dir;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TCardFileEncoding setting{c.encoding, c.legacy};
    TCardText whole;
    const bool decoded = DecodeCardFile(c.bytes, setting, whole);
    const std::vector<std::string> lines = SplitIntoLines(whole.text);

    const std::string path = dir.File("cards.csv");
    ASSERT_TRUE(WriteFileBytes(path, c.bytes));
    THeldFile file;
    ASSERT_EQ(file.Hold(path), hrHeld);
    TCardSurvey survey;
    ASSERT_TRUE(SurveyCardFile(file, setting, survey));
    EXPECT_EQ(survey.hash, ContentHash(c.bytes));
    EXPECT_EQ(survey.text.encoding, whole.encoding);
    EXPECT_EQ(survey.text.how, whole.how);
    EXPECT_EQ(survey.text.error, whole.error);
    EXPECT_EQ(survey.text.badSetting, whole.badSetting);
    const auto firstFew = [](std::vector<size_t> list) {
      if (list.size() > 6) list.resize(6);
      return list;
    };
    EXPECT_EQ(survey.text.utf8Lines, firstFew(whole.utf8Lines));
    EXPECT_EQ(survey.text.otherLines, firstFew(whole.otherLines));
    if (!decoded) continue;
    EXPECT_EQ(survey.lines, lines.size());
#ifndef _WIN32
    // What a producer appends after the survey was not hashed, and is not read either (Windows
    // holds the file exclusively: nobody appends there).
    ASSERT_TRUE(WriteFileBytes(path, c.bytes + "A,99,Late\r\n"));
#endif
    TCardFileLines source(file, survey);
    std::vector<std::string> read;
    for (std::string line; source.Next(line);) read.push_back(line);
    EXPECT_FALSE(source.Failed());
    EXPECT_EQ(read.size(), lines.size());
    EXPECT_TRUE(read == lines);
    EXPECT_EQ(source.Replaced(), whole.replaced);
    if (survey.noneReplaced) {
      EXPECT_EQ(whole.replaced, 0u);
    }
  }
}

}  // namespace
}  // namespace fw::test

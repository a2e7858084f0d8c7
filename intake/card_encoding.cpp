#include "intake/card_encoding.h"

#include <cctype>

#include "intake/card_file.h"
#include "platform/files.h"
#include "platform/text_encoding.h"
#include "platform/text_encoding_names.h"

namespace fw {
namespace {

std::string Lower(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != ' ') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

bool IsUtf8Name(const std::string& name) {
  return CodePageOf(name) == 65001;
}


// The line (from 1) that byte `offset` is on, with the line breaks of SplitIntoLines.
size_t LineOf(std::string_view bytes, size_t offset) {
  size_t line = 1;
  for (size_t i = 0; i < offset && i < bytes.size(); ++i) {
    if (bytes[i] == '\r' || (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))) ++line;
  }
  return line;
}

void SortLines(std::string_view bytes, TCardText& out) {
  const std::vector<std::string> lines = SplitIntoLines(bytes);
  for (size_t i = 0; i < lines.size(); ++i) {
    bool ascii = true;
    for (char c : lines[i]) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) continue;
    (InvalidUtf8At(lines[i]) == std::string_view::npos ? out.utf8Lines : out.otherLines)
        .push_back(i + 1);
  }
}

}  // namespace

void UnreadableEncoding(TCardText& text) {
  // A mark is the file's own word: no setting can mend it, and retrying would not either.
  text.badSetting = text.how != "byte-order mark";
  text.error = text.badSetting
                   ? "unknown encoding \"" + text.encoding + "\" in " +
                         (text.how == "not UTF-8" ? "CardFileCodePage" : "CardFileEncoding")
                   : "begins with the byte-order mark of " + text.encoding +
                         ", which this system cannot read";
}

TMarkRead ReadMark(std::string_view start, const TCardFileEncoding& setting, TCardText& text) {
  std::string set = Lower(setting.encoding);
  if (set.empty()) set = "auto";
  const auto starts = [&](std::string_view mark) { return start.substr(0, mark.size()) == mark; };
  const auto mark = [&](const char* encoding, size_t bytes) {
    text.encoding = encoding;
    text.how = "byte-order mark";
    return TMarkRead{bytes, text.encoding == "utf-8"};
  };
  // A UTF-32 mark begins with the UTF-16LE one; under a UTF-16 setting it stays that and a NUL.
  const bool wide = UnitBytesOf(set) != 2;
  if (wide && starts(std::string_view("\xFF\xFE\0\0", 4))) return mark("utf-32le", 4);
  if (wide && starts(std::string_view("\0\0\xFE\xFF", 4))) return mark("utf-32be", 4);
  if (starts("\xFF\xFE")) return mark("utf-16le", 2);
  if (starts("\xFE\xFF")) return mark("utf-16be", 2);
  if (starts("\xEF\xBB\xBF")) return mark("utf-8", 3);
  if (set == "auto") return {};
  text.encoding = setting.encoding;
  text.how = "CardFileEncoding";
  return {0, IsUtf8Name(set)};
}

size_t InvalidUtf8At(std::string_view s) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = at(i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The sequence length, and the range its second byte must lie in (which rules out
    // overlong forms, surrogates and code points above U+10FFFF).
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return i;
    for (size_t k = 2; k < n; ++k) {
      if (at(i + k) < 0x80 || at(i + k) > 0xBF) return i;
    }
    i += n;
  }
  return std::string_view::npos;
}

bool DecodeCardFile(std::string_view bytes, const TCardFileEncoding& setting, TCardText& out) {
  out = TCardText();
  const TMarkRead read = ReadMark(bytes, setting, out);
  const bool strictUtf8 = read.strictUtf8;
  bytes.remove_prefix(read.markBytes);
  if (out.encoding.empty() && InvalidUtf8At(bytes) == std::string_view::npos) {
    out.encoding = "utf-8";
    out.how = "valid UTF-8";
  } else if (out.encoding.empty()) {
    out.encoding = setting.legacy.empty() ? DefaultLegacyEncoding() : setting.legacy;
    out.how = "not UTF-8";
  }

  if (strictUtf8) {
    const size_t bad = InvalidUtf8At(bytes);
    if (bad != std::string_view::npos) {
      out.error = "not valid UTF-8 in line " + std::to_string(LineOf(bytes, bad)) + " (byte " +
                  std::to_string(bad + 1 + (out.how == "byte-order mark" ? 3 : 0)) + "), " +
                  (out.how == "byte-order mark" ? "though it begins with a UTF-8 byte-order mark"
                                                : "which CardFileEncoding requires");
      return false;
    }
  } else if (UnitBytesOf(out.encoding) == 1 && !IsUtf8Name(out.encoding)) {
    SortLines(bytes, out);
  }

  TSystemText system;
  if (!ToSystemText(bytes, out.encoding, system)) {
    UnreadableEncoding(out);
    return false;
  }
  out.text = std::move(system.text);
  out.replaced = system.replaced;
  return true;
}

bool LoadCardFile(const std::string& path, const TCardFileEncoding& setting, TCardText& out,
                  std::vector<std::string>& lines) {
  out = TCardText();
  std::string bytes;
  if (!ReadWholeFile(path, bytes)) return false;
  if (!DecodeCardFile(bytes, setting, out)) return false;
  lines = SplitIntoLines(out.text);
  return true;
}

}  // namespace fw

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

std::string_view Utf32MarkOf(std::string_view start, const std::string& setting) {
  if (UnitBytesOf(setting) == 2) return {};
  if (start == std::string_view("\xFF\xFE\0\0", 4)) return "utf-32le";
  if (start == std::string_view("\0\0\xFE\xFF", 4)) return "utf-32be";
  return {};
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
  std::string set = Lower(setting.encoding);
  if (set.empty()) set = "auto";
  const auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  bool strictUtf8 = false;
  const std::string_view mark32 = Utf32MarkOf(bytes.substr(0, 4), set);
  if (!mark32.empty()) {
    out.encoding = mark32;
    out.how = "byte-order mark";
    bytes.remove_prefix(4);
  } else if (starts("\xFF\xFE")) {
    out.encoding = "utf-16le";
    out.how = "byte-order mark";
    bytes.remove_prefix(2);
  } else if (starts("\xFE\xFF")) {
    out.encoding = "utf-16be";
    out.how = "byte-order mark";
    bytes.remove_prefix(2);
  } else if (starts("\xEF\xBB\xBF")) {
    out.encoding = "utf-8";
    out.how = "byte-order mark";
    strictUtf8 = true;
    bytes.remove_prefix(3);
  } else if (set != "auto") {
    out.encoding = setting.encoding;
    out.how = "CardFileEncoding";
    strictUtf8 = IsUtf8Name(set);
  } else if (InvalidUtf8At(bytes) == std::string_view::npos) {
    out.encoding = "utf-8";
    out.how = "valid UTF-8";
  } else {
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

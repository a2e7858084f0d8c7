// The encodings card files arrive in: UTF-8 (with or without a byte-order mark), UTF-16 with a
// byte-order mark, or a legacy 8-bit code page; decoded into the system's text before the
// file is cut into lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fw {

struct TCardFileEncoding {
  // "auto", or the one encoding every card file is in ("utf-8", "windows-1252", "1250", ...).
  std::string encoding = "auto";
  // What "auto" reads a file in that is not UTF-8; empty: the platform's default.
  std::string legacy;
};

struct TCardText {
  std::string text;       // the system's text; a byte-order mark is not part of it
  std::string encoding;   // what the file was read as ("utf-8", "utf-16le", "windows-1252", ...)
  std::string how;        // why: "byte-order mark", "valid UTF-8", "not UTF-8", "CardFileEncoding"
  size_t replaced = 0;    // characters replaced (see ToSystemText)
  // In a file read as 8-bit text: lines (from 1) that hold non-ASCII text that is valid UTF-8,
  // and lines that hold text that is not.
  std::vector<size_t> utf8Lines, otherLines;
  std::string error;      // why it cannot be read; set when DecodeCardFile fails
  bool badSetting = false;  // the fault is the setting's (an unknown encoding), not the file's

  bool Mixed() const { return !utf8Lines.empty() && !otherLines.empty(); }
};

// Offset of the first byte that does not belong to well-formed UTF-8; npos when there is none.
size_t InvalidUtf8At(std::string_view bytes);

struct TMarkRead {
  size_t markBytes = 0;     // the byte-order mark's length, 0 without one
  bool strictUtf8 = false;  // declared UTF-8, by its mark or the setting
};
// What the file's first bytes (a byte-order mark, which decides over any setting) or else the
// setting say the file is, in text.encoding and text.how; under "auto" without a mark both
// stay empty. A UTF-32 mark begins with the UTF-16LE one: under a UTF-16 setting those bytes
// are that mark and a NUL.
TMarkRead ReadMark(std::string_view start, const TCardFileEncoding& setting, TCardText& text);
// The error of a text whose encoding (named by a setting or by the file's mark) cannot be read.
void UnreadableEncoding(TCardText& text);

// A byte-order mark always decides. Without one, "auto" reads valid UTF-8 as UTF-8 and anything
// else in the legacy code page; a fixed encoding is taken as set. False, with `error`, for an
// unknown encoding and for text that is declared UTF-8 (by the setting or its mark) but is not.
bool DecodeCardFile(std::string_view bytes, const TCardFileEncoding& setting, TCardText& out);

// Reads a card file whole, decodes it and cuts it into lines. False when it cannot be read
// (`out.error` empty) or decoded (`out.error` set).
bool LoadCardFile(const std::string& path, const TCardFileEncoding& setting, TCardText& out,
                  std::vector<std::string>& lines);

}  // namespace fw

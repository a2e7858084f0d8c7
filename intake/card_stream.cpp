#include "intake/card_stream.h"

#include <algorithm>
#include <cstdio>

#include "intake/card_ledger.h"
#include "platform/text_encoding.h"
#include "platform/text_encoding_names.h"

namespace fw {
namespace {

// Read at a time: large enough for few calls, small enough to stay out of the peak.
constexpr size_t kPieceBytes = 1 << 20;
// Mixed lines kept by the survey: the first is named in the log, the first five by validate.
constexpr size_t kKeptLines = 6;

// The byte offset of the first NUL unit, where the text ends; npos when there is none. A file
// read whole keeps its NUL bytes: which of them is a NUL is known once it is decoded.
size_t NulAt(std::string_view s, TCodeUnits units) {
  if (units == cuWhole) return std::string_view::npos;
  if (units == cuBytes) return s.find('\0');
  const size_t width = WidthOf(units);
  for (size_t i = 0; i + width <= s.size(); i += width) {
    if (UnitAt(s, i, units) == 0) return i;
  }
  return std::string_view::npos;
}

// Where a piece of `s` (which starts at a unit) may end: after its last LF, or its last CR
// that is followed by a whole unit (with an LF it is one break, and a piece must not end
// between the two); 0 when there is none. Units before `from` were searched before, but for
// the last one, whose follower may have arrived since.
size_t CutAfterLastBreak(std::string_view s, size_t from, TCodeUnits units) {
  if (units == cuWhole) return 0;
  const size_t width = WidthOf(units);
  from -= from % width;
  const size_t lowest = from >= width ? from - width : 0;
  for (size_t i = s.size() - s.size() % width; i >= lowest + width;) {
    i -= width;
    const unsigned c = UnitAt(s, i, units);
    if (c == '\n' || (c == '\r' && i + 2 * width <= s.size())) return i + width;
  }
  return 0;
}

// Reads on from `offset` and hands out what ends at the last line break, keeping the rest for
// the next piece. Pieces start at a unit: the file is read from its start, and cut after units.
bool ReadPiece(TFileReader& file, TCodeUnits units, uint64_t& offset, uint64_t limit,
               std::string& carry, bool& atEnd, std::string& piece) {
  piece.clear();
  while (!atEnd) {
    std::string more;
    // A file read whole is read in one go once its size is known, without growing a buffer.
    const uint64_t most = units == cuWhole && limit != UINT64_MAX ? limit - offset : kPieceBytes;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(most, limit - offset));
    if (!file.ReadAt(offset, want, more)) return false;
    offset += more.size();
    atEnd = more.size() < want || offset == limit;
    const size_t searchFrom = carry.size();
    carry += more;
    const size_t cut = atEnd ? carry.size() : CutAfterLastBreak(carry, searchFrom, units);
    if (cut > 0) {
      if (cut == carry.size()) {
        piece.swap(carry);
        carry.clear();
      } else {
        piece.assign(carry, 0, cut);
        carry.erase(0, cut);
      }
      return true;
    }
  }
  return true;  // the end: `piece` empty
}

// FNV-1a as ContentHash computes it, over the file piece by piece.
struct THash {
  uint64_t value = 14695981039346656037ull;
  void Add(std::string_view bytes) {
    for (unsigned char c : bytes) {
      value ^= c;
      value *= 1099511628211ull;
    }
  }
  std::string Text() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
  }
};

// What the survey learns of the bytes after the byte-order mark, piece by piece.
struct TBytesSurvey {
  size_t firstInvalid = std::string_view::npos;  // offset of the first byte that is not UTF-8
  size_t invalidLine = 0;
  size_t offset = 0;  // of the current piece
  size_t line = 1;    // at its start, counted as the error text counts lines
  bool nul = false;   // the text ended at a NUL
  size_t lines = 0;
  std::vector<size_t> utf8Lines, otherLines;

  void Add(std::string_view piece) {
    if (firstInvalid == std::string_view::npos) {
      const size_t bad = InvalidUtf8At(piece);
      if (bad != std::string_view::npos) {
        firstInvalid = offset + bad;
        invalidLine = line;
        for (size_t i = 0; i < bad; ++i) invalidLine += Breaks(piece, i);
      }
    }
    for (size_t i = 0; i < piece.size(); ++i) line += Breaks(piece, i);
    offset += piece.size();
    if (nul) return;
    const size_t end = piece.find('\0');
    if (end != std::string_view::npos) {
      nul = true;
      piece = piece.substr(0, end);
    }
    // Lines as SplitIntoLines cuts them; a piece ends at a break but for the file's last.
    size_t start = 0;
    while (start < piece.size()) {
      size_t stop = start;
      while (stop < piece.size() && piece[stop] != '\r' && piece[stop] != '\n') ++stop;
      Sort(piece.substr(start, stop - start), ++lines);
      if (stop < piece.size() && piece[stop] == '\r' && stop + 1 < piece.size() &&
          piece[stop + 1] == '\n') {
        ++stop;
      }
      start = stop + 1;
    }
  }

 private:
  static size_t Breaks(std::string_view s, size_t i) {
    return s[i] == '\r' || (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) ? 1 : 0;
  }
  void Sort(std::string_view text, size_t number) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return;
    std::vector<size_t>& list =
        InvalidUtf8At(text) == std::string_view::npos ? utf8Lines : otherLines;
    if (list.size() < kKeptLines) list.push_back(number);
  }
};

// Lines of UTF-16 or UTF-32 text, piece by piece, as SplitIntoLines counts them once it is
// decoded: any unit but CR, LF and NUL is part of a line, a unit that is no character and a
// cut-off last unit too (each becomes U+FFFD).
struct TUnitsSurvey {
  TCodeUnits units;
  size_t lines = 0;
  bool nul = false;

  void Add(std::string_view piece) {
    const size_t width = WidthOf(units);
    bool open = false, cr = false;
    for (size_t i = 0; i < piece.size() && !nul; i += width) {
      const unsigned c = i + width <= piece.size() ? UnitAt(piece, i, units) : 0xFFFD;
      if (c == 0) {
        nul = true;
      } else if (!(c == '\n' && cr)) {
        open = c != '\r' && c != '\n';
        if (!open) ++lines;
      }
      cr = c == '\r';
    }
    if (open) ++lines;
  }
};

// Counts the lines again for a file whose first pass was cut otherwise than its text is: a
// file "auto" reads in a legacy UTF-16 code page, or one read whole.
bool CountLines(TFileReader& file, TCardSurvey& out) {
  TUnitsSurvey unitLines{out.units};
  uint64_t offset = 0;
  std::string carry, piece;
  bool atEnd = false, first = true;
  out.lines = 0;
  while (!atEnd) {
    if (!ReadPiece(file, out.units, offset, out.size, carry, atEnd, piece)) return false;
    if (first) piece.erase(0, std::min(out.mark, piece.size()));
    first = false;
    if (out.units != cuWhole) {
      unitLines.Add(piece);
      continue;
    }
    TSystemText text;
    if (!out.lead.empty()) piece.insert(0, out.lead);
    if (!ToSystemText(piece, out.text.encoding, text)) return false;
    TTextLines lines(std::move(text.text));
    for (std::string line; lines.Next(line);) ++out.lines;
  }
  if (out.units != cuWhole) out.lines = unitLines.lines;
  return true;
}

}  // namespace

bool SurveyCardFile(TFileReader& file, const TCardFileEncoding& setting, TCardSurvey& out) {
  out = TCardSurvey();
  TCardText& text = out.text;
  std::string start;
  if (!file.ReadAt(0, 4, start)) return false;
  const TMarkRead read = ReadMark(start, setting, text);
  const bool strictUtf8 = read.strictUtf8;
  out.mark = read.markBytes;
  // Whether "auto" reads the file as UTF-8 is known at its end; till then its breaks are bytes.
  // A file read whole is surveyed at bytes too, for its mixed lines; its lines are counted
  // once it is decoded (CountLines).
  TFraming framing = text.encoding.empty() ? TFraming{cuBytes, ""} : FramingOf(text.encoding);
  const TCodeUnits units =
      framing.units == cuWhole || framing.units == cuBytes ? cuBytes : framing.units;
  const size_t mark = out.mark;

  THash hash;
  TBytesSurvey bytes;
  TUnitsSurvey unitLines{units};
  uint64_t offset = 0;
  std::string carry, piece;
  bool atEnd = false, first = true;
  while (!atEnd) {
    if (!ReadPiece(file, units, offset, UINT64_MAX, carry, atEnd, piece)) return false;
    hash.Add(piece);
    const std::string_view after =
        std::string_view(piece).substr(first ? std::min(mark, piece.size()) : 0);
    if (units == cuBytes) {
      bytes.Add(after);
    } else {
      unitLines.Add(after);
    }
    first = false;
  }
  out.hash = hash.Text();
  out.size = offset;
  out.lines = units == cuBytes ? bytes.lines : unitLines.lines;
  const bool valid = bytes.firstInvalid == std::string_view::npos;
  if (text.encoding.empty()) {
    text.encoding = valid ? "utf-8"
                    : setting.legacy.empty() ? DefaultLegacyEncoding()
                                             : setting.legacy;
    text.how = valid ? "valid UTF-8" : "not UTF-8";
    framing = FramingOf(text.encoding);
  }
  if (strictUtf8 && !valid) {
    text.error = "not valid UTF-8 in line " + std::to_string(bytes.invalidLine) + " (byte " +
                 std::to_string(bytes.firstInvalid + 1 + mark) + "), " +
                 (mark > 0 ? "though it begins with a UTF-8 byte-order mark"
                           : "which CardFileEncoding requires");
    return true;
  }
  const unsigned page = CodePageOf(text.encoding);
  out.noneReplaced = page == 65001 && valid;
  if (!strictUtf8 && page != 65001 && UnitBytesOf(text.encoding) == 1) {
    text.utf8Lines = std::move(bytes.utf8Lines);
    text.otherLines = std::move(bytes.otherLines);
  }
  TSystemText probe;
  if (!ToSystemText("", text.encoding, probe)) {
    UnreadableEncoding(text);
    return true;
  }
  out.units = framing.units;
  out.lead = std::move(framing.lead);
  return out.units == units || CountLines(file, out);
}

TCardFileLines::TCardFileLines(TFileReader& file, const TCardSurvey& survey)
    : file_(file), survey_(survey) {}

bool TCardFileLines::Refill() {
  const bool first = offset_ == 0;
  if (survey_.size == 0) {
    atEnd_ = true;
    return true;
  }
  std::string piece;
  if (!ReadPiece(file_, survey_.units, offset_, survey_.size, carry_, atEnd_, piece)) {
    failed_ = true;
    return false;
  }
  if (first) piece.erase(0, std::min(survey_.mark, piece.size()));
  const size_t nul = NulAt(piece, survey_.units);
  if (nul != std::string::npos) {
    piece.resize(nul);
    atEnd_ = true;  // the text ends there
  }
  if (!survey_.lead.empty()) piece.insert(0, survey_.lead);
  TSystemText text;
  if (!ToSystemText(piece, survey_.text.encoding, text)) {
    failed_ = true;
    return false;
  }
  replaced_ += text.replaced;
  piece_ = std::make_unique<TTextLines>(std::move(text.text));
  return true;
}

bool TCardFileLines::Next(std::string& line) {
  while (!piece_ || !piece_->Next(line)) {
    if (atEnd_ || failed_ || !Refill()) return false;
  }
  return true;
}

}  // namespace fw

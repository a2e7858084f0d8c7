#include "intake/card_stream.h"

#include <cctype>
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

std::string Lower(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != ' ') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// Reads on from `offset` and hands out what ends at the last line break, keeping the rest for
// the next piece. A CR at the end of what was read waits for the next byte: with an LF it is
// one break, and a piece must not end between the two.
bool ReadPiece(THeldFile& file, uint64_t& offset, uint64_t limit, std::string& carry,
               bool& atEnd, std::string& piece) {
  piece.clear();
  while (!atEnd) {
    std::string more;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, limit - offset));
    if (!file.ReadAt(offset, want, more)) return false;
    offset += more.size();
    atEnd = more.size() < want || offset == limit;
    const size_t searchFrom = carry.size();
    carry += more;
    size_t cut = 0;
    for (size_t i = carry.size(); i-- > searchFrom;) {
      if (carry[i] == '\n' || (carry[i] == '\r' && i + 1 < carry.size())) {
        cut = i + 1;
        break;
      }
    }
    if (atEnd) cut = carry.size();
    if (cut > 0) {
      piece.assign(carry, 0, cut);
      carry.erase(0, cut);
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

}  // namespace

bool SurveyCardFile(THeldFile& file, const TCardFileEncoding& setting, TCardSurvey& out) {
  out = TCardSurvey();
  TCardText& text = out.text;
  std::string start;
  if (!file.ReadAt(0, 3, start)) return false;
  const auto starts = [&](std::string_view mark) { return start.compare(0, mark.size(), mark) == 0; };
  if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
    std::string bytes;
    if (!file.ReadAll(bytes)) return false;
    out.hash = ContentHash(bytes);
    out.whole = DecodeCardFile(bytes, setting, text);
    TTextLines lines(text.text);
    for (std::string line; lines.Next(line);) ++out.lines;
    return true;
  }
  std::string set = Lower(setting.encoding);
  if (set.empty()) set = "auto";
  size_t mark = 0;
  bool strictUtf8 = false;
  if (starts("\xEF\xBB\xBF")) {
    text.encoding = "utf-8";
    text.how = "byte-order mark";
    strictUtf8 = true;
    mark = 3;
  } else if (set != "auto") {
    text.encoding = setting.encoding;
    text.how = "CardFileEncoding";
    strictUtf8 = CodePageOf(set) == 65001;
  }

  THash hash;
  TBytesSurvey bytes;
  uint64_t offset = 0;
  std::string carry, piece;
  bool atEnd = false, first = true;
  while (!atEnd) {
    if (!ReadPiece(file, offset, UINT64_MAX, carry, atEnd, piece)) return false;
    hash.Add(piece);
    bytes.Add(std::string_view(piece).substr(first ? std::min(mark, piece.size()) : 0));
    first = false;
  }
  out.hash = hash.Text();
  out.size = offset;
  out.lines = bytes.lines;
  const bool valid = bytes.firstInvalid == std::string_view::npos;
  if (text.encoding.empty()) {
    text.encoding = valid ? "utf-8"
                    : setting.legacy.empty() ? DefaultLegacyEncoding()
                                             : setting.legacy;
    text.how = valid ? "valid UTF-8" : "not UTF-8";
  }
  if (strictUtf8 && !valid) {
    text.error = "not valid UTF-8 in line " + std::to_string(bytes.invalidLine) + " (byte " +
                 std::to_string(bytes.firstInvalid + 1 + mark) + "), " +
                 (mark > 0 ? "though it begins with a UTF-8 byte-order mark"
                           : "which CardFileEncoding requires");
    return true;
  }
  const unsigned page = CodePageOf(text.encoding);
  if (!strictUtf8 && page != 65001 && page != 1200 && page != 1201) {
    text.utf8Lines = std::move(bytes.utf8Lines);
    text.otherLines = std::move(bytes.otherLines);
  }
  TSystemText probe;
  if (!ToSystemText("", text.encoding, probe)) {
    text.badSetting = true;
    text.error = "unknown encoding \"" + text.encoding + "\" in " +
                 (text.how == "not UTF-8" ? "CardFileCodePage" : "CardFileEncoding");
  }
  return true;
}

TCardFileLines::TCardFileLines(THeldFile& file, const TCardSurvey& survey)
    : file_(file), survey_(survey) {}

bool TCardFileLines::Refill() {
  const bool first = offset_ == 0;
  if (survey_.size == 0) {
    atEnd_ = true;
    return true;
  }
  std::string piece;
  if (!ReadPiece(file_, offset_, survey_.size, carry_, atEnd_, piece)) {
    failed_ = true;
    return false;
  }
  if (first && survey_.text.how == "byte-order mark") piece.erase(0, 3);
  const size_t nul = piece.find('\0');
  if (nul != std::string::npos) {
    piece.resize(nul);
    atEnd_ = true;  // the text ends there
  }
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

std::unique_ptr<TLineSource> CardFileLines(THeldFile& file, const TCardSurvey& survey) {
  if (survey.whole) return std::make_unique<TTextLines>(survey.text.text);
  return std::make_unique<TCardFileLines>(file, survey);
}

}  // namespace fw

// A held card file read in pieces that end at a line break, so that a file of any size is
// hashed, decoded and staged with flat memory. Two passes: the survey hashes the whole file and
// decides its encoding (whether it is valid UTF-8 is known only at its end); the lines then
// decode it piece by piece. In UTF-16 a piece ends after a whole code unit CR or LF, never
// inside CR LF or a surrogate pair. Call from the thread that holds the file; the lines may be
// read on another, one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "platform/folder.h"

namespace fw {

// What a line break is made of: a byte (UTF-8 and the 8-bit code pages) or a UTF-16 code unit.
enum TCodeUnits { cuBytes, cuUtf16Le, cuUtf16Be };

struct TCardSurvey {
  std::string hash;  // ContentHash of the whole file
  // What DecodeCardFile would say of it, but the text (left empty), the count of replaced
  // characters (known once the lines are read: TCardFileLines::Replaced) and the lists of
  // mixed lines, which keep their first few.
  TCardText text;
  TCodeUnits units = cuBytes;  // of text.encoding
  size_t mark = 0;             // bytes of the byte-order mark, which is not part of the text
  size_t lines = 0;            // as SplitIntoLines counts them
  uint64_t size = 0;  // bytes hashed: the lines end there, should the file have grown since
};

// False when the file cannot be read. A file that cannot be decoded is surveyed (true) with
// `text.error` set, as DecodeCardFile sets it.
bool SurveyCardFile(THeldFile& file, const TCardFileEncoding& setting, TCardSurvey& out);

// The lines of a surveyed file that decoded; the file and the survey must outlive it.
class TCardFileLines : public TLineSource {
 public:
  TCardFileLines(THeldFile& file, const TCardSurvey& survey);
  bool Next(std::string& line) override;
  bool Failed() const override { return failed_; }
  // Characters replaced in decoding the lines read so far; none past a NUL, where the text
  // ends.
  size_t Replaced() const { return replaced_; }

 private:
  bool Refill();

  THeldFile& file_;
  const TCardSurvey& survey_;
  uint64_t offset_ = 0;
  std::string carry_;  // bytes read past the last whole line
  bool atEnd_ = false, failed_ = false;
  std::unique_ptr<TTextLines> piece_;  // the decoded lines of the current piece
  size_t replaced_ = 0;
};

}  // namespace fw

// A held card file read in pieces that end at a line break, so that a file of any size is
// hashed, decoded and staged with flat memory. Two passes: the survey hashes the whole file and
// decides its encoding (whether it is valid UTF-8 is known only at its end); the lines then
// decode it piece by piece. In UTF-16 and UTF-32 a piece ends after a whole code unit CR or LF,
// never inside CR LF or a surrogate pair; a file in an encoding whose breaks are not known for
// certain to be whole units is read whole (code_units.h). The file is a held card file
// (THeldFile) or one opened to be validated. Call from the thread that holds the file; the
// lines may be read on another, one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "intake/card_encoding.h"
#include "intake/card_file.h"
#include "intake/code_units.h"
#include "platform/files.h"

namespace fw {

struct TCardSurvey {
  std::string hash;  // ContentHash of the whole file
  // What DecodeCardFile would say of it, but the text (left empty), the count of replaced
  // characters (known once the lines are read: TCardFileLines::Replaced) and the lists of
  // mixed lines, which keep their first few.
  TCardText text;
  TCodeUnits units = cuBytes;  // of text.encoding, as its pieces are cut
  std::string lead;            // put before each piece as it is decoded (TFraming)
  size_t mark = 0;             // bytes of the byte-order mark, which is not part of the text
  size_t lines = 0;            // as SplitIntoLines counts them
  uint64_t size = 0;  // bytes hashed: the lines end there, should the file have grown since
  bool noneReplaced = false;  // valid UTF-8 read as UTF-8: decoding it replaces nothing
};

// False when the file cannot be read. A file that cannot be decoded is surveyed (true) with
// `text.error` set, as DecodeCardFile sets it.
bool SurveyCardFile(TFileReader& file, const TCardFileEncoding& setting, TCardSurvey& out);

// The lines of a surveyed file that decoded; the file and the survey must outlive it.
class TCardFileLines : public TLineSource {
 public:
  TCardFileLines(TFileReader& file, const TCardSurvey& survey);
  bool Next(std::string& line) override;
  bool Failed() const override { return failed_; }
  // Characters replaced in decoding the lines read so far; none past a NUL, where the text
  // ends.
  size_t Replaced() const { return replaced_; }

 private:
  bool Refill();

  TFileReader& file_;
  const TCardSurvey& survey_;
  uint64_t offset_ = 0;
  std::string carry_;  // bytes read past the last whole line
  bool atEnd_ = false, failed_ = false;
  std::unique_ptr<TTextLines> piece_;  // the decoded lines of the current piece
  size_t replaced_ = 0;
};

}  // namespace fw

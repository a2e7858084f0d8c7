// The card file format: cutting a file into lines, a line into fields, and fields into the
// typed column entries of a group row or a card row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"

namespace fw {

// An ordered list of texts; SplitLine refills it with the fields of one line.
class TStringListSDF : public std::vector<std::string> {
 public:
  void SplitLine(std::string_view line);
};

// Cuts text into lines at CR LF, lone LF and lone CR (LF CR is two breaks); a NUL ends the
// text; a final line break leaves no empty last line.
std::vector<std::string> SplitIntoLines(std::string_view text);
// Reads a whole file into lines. False when it cannot be opened or read.
bool LoadLinesFromFile(const std::string& path, std::vector<std::string>& lines);
// The lines of a card file's bytes as read (what LoadLinesFromFile does after reading).
std::vector<std::string> LinesFromBytes(const std::string& bytes);

// Leading spaces (not tabs), an optional sign, then decimal digits or hex digits after "$", x,
// X, 0x or 0X. Anything else, an empty text or a value outside int32 gives 0. Hex is ranged
// like decimal ("$FFFFFFFF" is out of range, not -1); a sign may precede the hex prefix.
int32_t FieldToInt(std::string_view text);
// hhmm as a number: 930 is 09:30, 12345 is 12:34 (first four digits); hours above 23 or
// minutes above 59 give 00:00.
TDateTime FieldToTime(std::string_view text);
// yyyymmdd as a number. An invalid date gives today's date (from `clock`) at 00:00.
TDateTime FieldToDate(std::string_view text, const TClock& clock = SystemClock());

struct TColumnDef {
  const char* name;
  char type;  // 'C' quoted text, 'X' unquoted text, 'N' integer, 'T' time, 'D' date, 'I' ignored
};

// 24 entries, types "CXCCTDTDNCCCCCCCCCCICCCC". Fields past the 24th of a card row are
// ignored: they have no column, and the row is still staged.
extern const std::vector<TColumnDef> CardColumns;
// 2 entries, types "CN".
extern const std::vector<TColumnDef> GroupColumns;

enum TLineKind { lkIgnored, lkGroup, lkCard };

// 0 or 1 field: ignored; exactly 2: group row; 3 or more: card row.
TLineKind LineKindOf(size_t fieldCount);

enum TValueKind { vkQuoted, vkUnquoted, vkInteger, vkDateTime };

struct TColumnEntry {
  std::string name;  // as the layout spells it
  TValueKind kind;
  std::string text;        // vkQuoted, vkUnquoted: the field as split
  int32_t integer = 0;     // vkInteger
  TDateTime dateTime = 0;  // vkDateTime: date plus the reader's current time of day
};

// Types the fields of one line. `timeOfDay` is the reader's current time of day: 00:00 when a
// file begins, replaced by each T field.
class TCardLineReader {
 public:
  explicit TCardLineReader(const TClock& clock = SystemClock()) : clock_(clock) {}
  // Kind of the line, and for group and card rows its entries in layout order (T and I
  // positions left out).
  TLineKind Read(const TStringListSDF& fields, std::vector<TColumnEntry>& entries);
  TDateTime TimeOfDay() const { return timeOfDay_; }

 private:
  const TClock& clock_;
  TDateTime timeOfDay_ = 0;
};

}  // namespace fw

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

// Where card lines come from, one at a time: a file read in pieces (card_stream.h) or a text
// held whole. Called from one thread at a time.
class TLineSource {
 public:
  virtual ~TLineSource() = default;
  // The next line without its break; false past the last one, or when reading failed.
  virtual bool Next(std::string& line) = 0;
  // Reading failed: the lines given so far are not all of the file.
  virtual bool Failed() const { return false; }
};

// The lines of a text, cut as SplitIntoLines cuts it, without copying it into lines first.
class TTextLines : public TLineSource {
 public:
  explicit TTextLines(std::string text);
  bool Next(std::string& line) override;

 private:
  std::string text_;
  size_t at_ = 0;
};

// The lines of a source with their number (from 1), fields and typed entries: how staging,
// its batches and `fenwoldctl validate` all read a card file.
class TCardLines {
 public:
  TCardLines(TLineSource& source, const TClock& clock) : source_(source), reader_(clock) {}
  // Moves to the next line; false past the last one.
  bool Next();
  size_t Number() const { return number_; }
  const std::string& Text() const { return text_; }
  const TStringListSDF& Fields() const { return fields_; }
  TLineKind Kind() const { return kind_; }
  // For group and card rows, the entries in layout order (TCardLineReader::Read).
  const std::vector<TColumnEntry>& Entries() const { return entries_; }
  bool Failed() const { return source_.Failed(); }

 private:
  TLineSource& source_;
  TCardLineReader reader_;
  size_t number_ = 0;
  std::string text_;
  TStringListSDF fields_;
  TLineKind kind_ = lkIgnored;
  std::vector<TColumnEntry> entries_;
};

}  // namespace fw

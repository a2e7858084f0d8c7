// How a card file in a given encoding may be cut into pieces that decode alone exactly as they
// do within the whole file: after a line break made of whole code units. Decided from what the
// converter does with a few probe bytes, never from a name alone; an encoding it cannot be
// sure of is read whole. Any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fw {

// What a line break is made of: a byte (UTF-8 and the 8-bit code pages, which no other
// character's bytes contain), a UTF-16 or a UTF-32 code unit; or nothing known, and the file
// is not cut at all.
enum TCodeUnits { cuBytes, cuUtf16Le, cuUtf16Be, cuUtf32Le, cuUtf32Be, cuWhole };

struct TFraming {
  TCodeUnits units = cuWhole;
  // Bytes put before every piece when it is decoded: the byte-order mark of the order the
  // converter assumes, for a converter that takes a leading mark to decide the order (glibc's
  // "utf-16", "utf-32"): a piece that begins with U+FEFF or U+FFFE then reads as it does
  // within the whole file, where only the file's first unit could be taken for a mark.
  std::string lead;
};

// For a file whose text (past a mark that decided its encoding) is decoded as `encoding`.
TFraming FramingOf(const std::string& encoding);

size_t WidthOf(TCodeUnits units);  // 1 for cuBytes and cuWhole

// The code unit at byte `i` of `s`; the unit must be whole.
unsigned UnitAt(std::string_view s, size_t i, TCodeUnits units);

}  // namespace fw

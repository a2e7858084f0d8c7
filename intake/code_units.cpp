#include "intake/code_units.h"

#include "platform/text_encoding.h"
#include "platform/text_encoding_names.h"

namespace fw {
namespace {

// Code pages whose converter keeps a shift state from line to line (ISO-2022, HZ, UTF-7): a
// piece would start in the wrong state.
bool Stateful(unsigned page) {
  return (page >= 50220 && page <= 50229) || page == 52936 || page == 65000;
}

// `units` written in the byte order and width of `to`.
std::string Encode(std::u32string_view units, TCodeUnits to) {
  const size_t width = WidthOf(to);
  const bool big = to == cuUtf16Be || to == cuUtf32Be;
  std::string out;
  for (const char32_t u : units) {
    for (size_t k = 0; k < width; ++k) {
      const size_t shift = 8 * (big ? width - 1 - k : k);
      out += static_cast<char>((u >> shift) & 0xFF);
    }
  }
  return out;
}

bool DecodesTo(const std::string& bytes, const std::string& encoding, std::string_view text) {
  TSystemText out;
  return ToSystemText(bytes, encoding, out) && out.replaced == 0 && out.text == text;
}

}  // namespace

size_t WidthOf(TCodeUnits units) {
  switch (units) {
    case cuUtf16Le:
    case cuUtf16Be:
      return 2;
    case cuUtf32Le:
    case cuUtf32Be:
      return 4;
    default:
      return 1;
  }
}

unsigned UnitAt(std::string_view s, size_t i, TCodeUnits units) {
  const size_t width = WidthOf(units);
  const bool big = units == cuUtf16Be || units == cuUtf32Be;
  unsigned unit = 0;
  for (size_t k = 0; k < width; ++k) {
    const unsigned byte = static_cast<unsigned char>(s[i + (big ? k : width - 1 - k)]);
    unit = unit << 8 | byte;
  }
  return unit;
}

TFraming FramingOf(const std::string& encoding) {
  TFraming framing;
  const unsigned width = UnitBytesOf(encoding);
  if (width == 1) {
    // The breaks must be the bytes of CR and LF, and those bytes nothing else (EBCDIC fails).
    const unsigned page = CodePageOf(encoding);
    if (page != 0 && !Stateful(page) && DecodesTo("a\rb\nc", encoding, "a\rb\nc")) {
      framing.units = cuBytes;
    }
    return framing;
  }
  // The order is the converter's: glibc reads "utf-16" and "ucs-2" without a mark in the
  // host's order, "ucs-4" big-endian. Exactly one order must read CR LF as CR LF.
  const TCodeUnits le = width == 2 ? cuUtf16Le : cuUtf32Le;
  const TCodeUnits be = width == 2 ? cuUtf16Be : cuUtf32Be;
  const bool readsLe = DecodesTo(Encode(U"\r\n", le), encoding, "\r\n");
  const bool readsBe = DecodesTo(Encode(U"\r\n", be), encoding, "\r\n");
  if (readsLe == readsBe) return framing;
  const TCodeUnits units = readsLe ? le : be;
  const std::string mark = Encode(U"\uFEFF", units);
  if (DecodesTo(mark + Encode(U"\r\n", units), encoding, "\r\n")) {
    // It takes a leading mark for the order; a second one must then be text.
    if (!DecodesTo(mark + mark + Encode(U"\n", units), encoding, "\xEF\xBB\xBF\n")) {
      return framing;
    }
    framing.lead = mark;
  } else if (!DecodesTo(mark + Encode(U"\n", units), encoding, "\xEF\xBB\xBF\n")) {
    return framing;
  }
  framing.units = units;
  return framing;
}

}  // namespace fw

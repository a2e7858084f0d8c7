#include "platform/text_encoding.h"

#include <windows.h>

#include <array>

#include "platform/text_encoding_names.h"
#include "platform/utf16.h"

namespace fw {
namespace {

constexpr unsigned kUtf16Le = 1200;
constexpr unsigned kUtf16Be = 1201;
constexpr char16_t kReplacement = 0xFFFD;

// UTF-16 is no code page of MultiByteToWideChar: its units are taken as they are; a surrogate
// without its partner, and an odd last byte, are replaced and counted, as iconv does.
std::string FromUtf16(std::string_view bytes, bool bigEndian, size_t& replaced) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    const unsigned char a = static_cast<unsigned char>(bytes[2 * i]);
    const unsigned char b = static_cast<unsigned char>(bytes[2 * i + 1]);
    units[i] = static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  }
  if (bytes.size() % 2 != 0) {
    units += kReplacement;
    ++replaced;
  }
  return Utf16ToUtf8(units, &replaced);
}

// Windows fills the holes of its 125x code pages (0x81, 0x8D, 0x8F, 0x90, 0x9D in 1252) with
// the C1 control of the same number, even under MB_ERR_INVALID_CHARS; glibc calls them
// undefined. Like glibc, so that both platforms replace and count the same bytes. The ISO
// 8859 pages define C1 controls for real.
bool HolesBecomeC1(unsigned cp) {
  return cp == 874 || (cp >= 1250 && cp <= 1258);
}

// One character per byte: a table, built once per conversion.
std::string FromSingleByte(std::string_view bytes, unsigned cp, size_t& replaced) {
  std::array<char16_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    const char in = static_cast<char>(b);
    wchar_t out = 0;
    const bool defined = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, &in, 1, &out, 1) == 1;
    const bool hole = b >= 0x80 && ((HolesBecomeC1(cp) && out >= 0x80 && out <= 0x9F) ||
                                    (out >= 0xE000 && out <= 0xF8FF));
    table[b] = defined && !hole ? static_cast<char16_t>(out) : kReplacement;
  }
  std::u16string units;
  units.reserve(bytes.size());
  for (const char c : bytes) {
    const char16_t u = table[static_cast<unsigned char>(c)];
    if (u == kReplacement) ++replaced;
    units += u;
  }
  return Utf16ToUtf8(units);
}

// Lead and trail bytes (Shift JIS, GBK, ...): a character at a time, so that one bad byte
// costs one replacement and not the line.
std::string FromMultiByte(std::string_view bytes, unsigned cp, size_t& replaced) {
  std::u16string units;
  units.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const size_t length =
        IsDBCSLeadByteEx(cp, static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size() ? 2 : 1;
    wchar_t out[2] = {};
    const int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data() + i,
                                      static_cast<int>(length), out, 2);
    if (n > 0) {
      units.append(reinterpret_cast<const char16_t*>(out), static_cast<size_t>(n));
      i += length;
    } else {
      units += kReplacement;
      ++replaced;
      ++i;
    }
  }
  return Utf16ToUtf8(units);
}

}  // namespace

std::string DefaultLegacyEncoding() {
  // Named as on Linux, so that log lines read the same.
  return "windows-" + std::to_string(GetACP());
}

bool IsKnownEncoding(const std::string& encoding) {
  const unsigned cp = CodePageOf(encoding);
  return cp == kUtf16Le || cp == kUtf16Be || (cp != 0 && IsValidCodePage(cp));
}

bool ToSystemText(std::string_view bytes, const std::string& encoding, TSystemText& out) {
  out = TSystemText();
  if (!IsKnownEncoding(encoding)) return false;
  const unsigned cp = CodePageOf(encoding);
  if (cp == kUtf16Le || cp == kUtf16Be) {
    out.text = FromUtf16(bytes, cp == kUtf16Be, out.replaced);
    return true;
  }
  if (cp == CP_UTF8) {
    out.text = Utf16ToUtf8(Utf8ToUtf16(bytes, &out.replaced));
    return true;
  }
  CPINFO info{};
  if (!GetCPInfo(cp, &info)) return false;
  out.text = info.MaxCharSize == 1 ? FromSingleByte(bytes, cp, out.replaced)
                                   : FromMultiByte(bytes, cp, out.replaced);
  return true;
}

}  // namespace fw

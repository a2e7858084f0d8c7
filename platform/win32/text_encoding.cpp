#include "platform/text_encoding.h"

#include <windows.h>

#include "platform/text_encoding_names.h"

namespace fw {
namespace {

constexpr unsigned kUtf16Le = 1200;
constexpr unsigned kUtf16Be = 1201;

// UTF-16 is no code page of MultiByteToWideChar: its units are taken as they are (an odd last
// byte is dropped and counted).
std::wstring FromUtf16(std::string_view bytes, bool bigEndian, size_t& replaced) {
  std::wstring wide(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    const unsigned char a = static_cast<unsigned char>(bytes[2 * i]);
    const unsigned char b = static_cast<unsigned char>(bytes[2 * i + 1]);
    wide[i] = static_cast<wchar_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  }
  if (bytes.size() % 2 != 0) ++replaced;
  return wide;
}

bool ToWide(std::string_view bytes, unsigned codePage, std::wstring& wide) {
  wide.clear();
  if (bytes.empty()) return true;
  const int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                                    nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                             wide.data(), n) == n;
}

// Into the ANSI code page; `lacking` is set when a character had to be replaced.
std::string ToAnsi(const wchar_t* wide, int count, bool& lacking) {
  lacking = false;
  if (count == 0) return {};
  // No best fit: it would turn characters such as U+FF07 into a quote that ends an SQL string.
  // UTF-8 as the ANSI code page holds every character, and takes neither flag nor default.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(CP_ACP, flags, wide, count, nullptr, 0, nullptr, used);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide, count, out.data(), n, nullptr, used);
  lacking = usedDefault != FALSE;
  return out;
}

}  // namespace

std::string DefaultLegacyEncoding() {
  return std::to_string(GetACP());
}

bool IsKnownEncoding(const std::string& encoding) {
  const unsigned cp = CodePageOf(encoding);
  return cp == kUtf16Le || cp == kUtf16Be || (cp != 0 && IsValidCodePage(cp));
}

bool ToSystemText(std::string_view bytes, const std::string& encoding, TSystemText& out) {
  out = TSystemText();
  if (!IsKnownEncoding(encoding)) return false;
  const unsigned cp = CodePageOf(encoding);
  std::wstring wide;
  if (cp == kUtf16Le || cp == kUtf16Be) {
    wide = FromUtf16(bytes, cp == kUtf16Be, out.replaced);
  } else if (!ToWide(bytes, cp, wide)) {
    return false;
  }
  bool lacking = false;
  out.text = ToAnsi(wide.data(), static_cast<int>(wide.size()), lacking);
  if (!lacking) return true;
  // Count the characters the code page lacks, one character (surrogate pair) at a time.
  for (size_t i = 0; i < wide.size();) {
    const bool pair = i + 1 < wide.size() && IS_HIGH_SURROGATE(wide[i]) &&
                      IS_LOW_SURROGATE(wide[i + 1]);
    const int len = pair ? 2 : 1;
    bool one = false;
    ToAnsi(wide.data() + i, len, one);
    if (one) ++out.replaced;
    i += static_cast<size_t>(len);
  }
  return true;
}

}  // namespace fw

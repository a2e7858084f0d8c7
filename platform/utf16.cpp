#include "platform/utf16.h"

#include <optional>

namespace fw {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
  }
}

// One character from the front of `s`, or nothing when its first byte starts none; `used` is
// how many bytes it took (one for nothing).
std::optional<char32_t> NextUtf8(std::string_view s, size_t& used) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  used = 1;
  if (lead < 0x80) return lead;
  size_t length = 0;
  char32_t c = 0, least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, least = 0x10000;
  } else {
    return std::nullopt;
  }
  for (size_t i = 1; i < length; ++i) {
    if (i >= s.size() || (byte(i) & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (byte(i) & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
  used = length;
  return c;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8, size_t* replaced) {
  std::u16string out;
  out.reserve(utf8.size());
  while (!utf8.empty()) {
    size_t used = 0;
    const std::optional<char32_t> c = NextUtf8(utf8, used);
    if (!c && replaced != nullptr) ++*replaced;
    AppendUtf16(out, c.value_or(kReplacement));
    utf8.remove_prefix(used);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16, size_t* replaced) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char32_t unit = utf16[i];
    char32_t c = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      c = kReplacement;
      if (replaced != nullptr) ++*replaced;
    }
    AppendUtf8(out, c);
  }
  return out;
}

}  // namespace fw

#include "platform/locale.h"

namespace fw {

char SeparatorInFormat(std::string_view format, char fallback) {
  for (size_t i = 0; i < format.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(format[i]);
    if (c == '%') {
      size_t j = i + 1;
      // Skip the flags, width and E/O modifiers glibc allows before the conversion.
      while (j < format.size() &&
             std::string_view("_-0^#EO123456789").find(format[j]) != std::string_view::npos) {
        ++j;
      }
      if (j >= format.size()) break;
      switch (format[j]) {
        case 'D':
          return '/';
        case 'F':
          return '-';
        case 'T':
        case 'R':
          return ':';
        case '%':
          return '%';
        default:
          break;
      }
      i = j;
      continue;
    }
    if (c >= 0x80) return fallback;  // a multi-byte separator cannot stand in one character
    if (c > ' ' && c < 0x7f && !(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z') &&
        !(c >= 'a' && c <= 'z')) {
      return static_cast<char>(c);
    }
  }
  return fallback;
}

}  // namespace fw

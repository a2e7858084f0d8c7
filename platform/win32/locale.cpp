#include "platform/locale.h"

#include <windows.h>

namespace fw {
namespace {

// A separator is one printable ASCII character, as on Linux; anything else (a code page's
// character would not be UTF-8) falls back.
char LocaleChar(LCTYPE type, char fallback) {
  wchar_t buf[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf, 8) != 2 || buf[0] < 0x20 || buf[0] > 0x7E) {
    return fallback;
  }
  return static_cast<char>(buf[0]);
}

}  // namespace

char DateSeparator() {
  return LocaleChar(LOCALE_SDATE, '/');
}

char TimeSeparator() {
  return LocaleChar(LOCALE_STIME, ':');
}

}  // namespace fw

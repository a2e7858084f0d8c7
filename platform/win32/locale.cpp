#include "platform/locale.h"

#include <windows.h>

namespace fw {
namespace {

char LocaleChar(LCTYPE type, char fallback) {
  char buf[8] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buf, sizeof buf) < 2 || buf[1] != '\0') {
    return fallback;
  }
  return buf[0];
}

}  // namespace

char DateSeparator() {
  return LocaleChar(LOCALE_SDATE, '/');
}

char TimeSeparator() {
  return LocaleChar(LOCALE_STIME, ':');
}

}  // namespace fw

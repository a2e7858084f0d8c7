#include "platform/locale.h"

#include <langinfo.h>

namespace fw {

// The process's current LC_TIME locale decides; whoever wants the user's locale sets it with
// setlocale at start-up. The C locale gives '/' and ':'.
char DateSeparator() {
  return SeparatorInFormat(nl_langinfo(D_FMT), '/');
}

char TimeSeparator() {
  return SeparatorInFormat(nl_langinfo(T_FMT), ':');
}

}  // namespace fw

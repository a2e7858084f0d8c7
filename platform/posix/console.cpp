#include "platform/console.h"

#include <cstdio>

namespace fw {

// Terminals take UTF-8 as it is.
void WriteOut(std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
}

void WriteErr(std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
}

}  // namespace fw

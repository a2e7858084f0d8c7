#include "tests/support/temp_registry.h"

namespace fw::test {

void TTempRegistry::WriteExport(std::string_view body) const {
  Write("Windows Registry Editor Version 5.00\r\n\r\n" + std::string(body));
}

std::string Utf16Le(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

}  // namespace fw::test

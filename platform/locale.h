// Regional date and time separators used in log stamps.
#pragma once

#include <string_view>

namespace fw {

char DateSeparator();  // '/' in the C locale
char TimeSeparator();  // ':' in the C locale

// The first literal separator of a strftime-style format ("%d.%m.%Y" gives '.'); composite
// conversions count as their expansion (%D '/', %F '-', %T and %R ':'). `fallback` when the
// format has none or the separator is not a single printable ASCII character.
char SeparatorInFormat(std::string_view format, char fallback);

}  // namespace fw

// Regional date and time separators used in log stamps.
#pragma once

namespace fw {

char DateSeparator();  // '/' in the C locale
char TimeSeparator();  // ':' in the C locale

}  // namespace fw

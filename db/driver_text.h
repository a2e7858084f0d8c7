// Parsers of the texts drivers return for values and of the statement texts we send, apart
// from any connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace fw {

// Optional sign and decimal digits only; false when the text is anything else or does not fit
// in -limit-1 .. limit.
bool WholeNumber(std::string_view text, int64_t limit, int64_t& value);
// The length of the text's whole part when the text is a decimal number (sign, digits, and a
// fraction of digits); the whole length otherwise.
size_t WholePartLength(std::string_view text);

// Fixed-position parsers of the texts drivers return; invalid texts give the zero date-time.
TDateTime ParseDate(const std::string& text);
TDateTime ParseTime(const std::string& text);
TDateTime ParseDateTime(const std::string& text);
// Third blank-separated word, upper-cased ("INTO" in SELECT x INTO t FROM ...).
std::string ThirdWord(const std::string& sql);

}  // namespace fw

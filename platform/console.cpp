#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace fw {
namespace {

std::string Format(const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (n < 0) {
    // An encoding error leaves nothing worth printing.
  } else if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

}  // namespace

void Print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  WriteOut(text);
}

void PrintErr(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  WriteErr(text);
}

}  // namespace fw

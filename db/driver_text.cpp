#include "db/driver_text.h"

#include <climits>

#include "platform/strings.h"

namespace fw {

bool WholeNumber(std::string_view text, int64_t limit, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > limit + 1) return false;
  }
  v = negative ? -v : v;
  if (v > limit || v < -limit - 1) return false;
  value = v;
  return true;
}

size_t WholePartLength(std::string_view text) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return text.size();
  for (size_t i = dot + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return text.size();
  }
  return dot;
}

namespace {

// A field of a fixed-position date or time text (positions from 1); missing or not a whole
// number: the default.
int Field(const std::string& text, size_t position, size_t length, int fallback) {
  if (text.size() < position) return fallback;
  int64_t v = 0;
  return WholeNumber(std::string_view(text).substr(position - 1, length), INT_MAX, v)
             ? static_cast<int>(v)
             : fallback;
}

}  // namespace

TDateTime ParseDate(const std::string& text) {
  TDateTime date = 0;
  if (!TryEncodeDate(Field(text, 1, 4, 1899), Field(text, 6, 2, 12), Field(text, 9, 2, 30), date)) {
    return 0;
  }
  return date;
}

TDateTime ParseTime(const std::string& text) {
  TDateTime time = 0;
  if (!TryEncodeTime(Field(text, 1, 2, 0), Field(text, 4, 2, 0), Field(text, 7, 2, 0), 0, time)) {
    return 0;
  }
  return time;
}

TDateTime ParseDateTime(const std::string& text) {
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(Field(text, 1, 4, 1899), Field(text, 6, 2, 12), Field(text, 9, 2, 30), date) ||
      !TryEncodeTime(Field(text, 12, 2, 0), Field(text, 15, 2, 0), Field(text, 18, 2, 0), 0,
                     time)) {
    return 0;
  }
  return date + time;
}

std::string ThirdWord(const std::string& sql) {
  const size_t p1 = sql.find(' ');
  const size_t after = p1 == std::string::npos ? 0 : p1 + 1;
  const size_t p2 = sql.find(' ', after);
  const size_t start = p2 == std::string::npos ? after : p2 + 1;
  std::string word =
      UpperAscii(TrimControl(std::string_view(sql).substr(std::min(start, sql.size()))));
  return word.substr(0, word.find(' '));
}

}  // namespace fw

#include "db/bound_sql.h"

#include <cmath>

namespace fw {
namespace {

// Days of 0001-01-01 and of 10000-01-01 relative to 1899-12-30.
constexpr double kFirstDay = -693593.0;
constexpr double kPastLastDay = 2958466.0;

TDateTime InTimestampRange(TDateTime value) {
  return !std::isfinite(value) || value < kFirstDay || value >= kPastLastDay ? 0 : value;
}

}  // namespace

TSqlValue TSqlValue::Text(std::string text) {
  TSqlValue v;
  v.text = std::move(text);
  return v;
}

TSqlValue TSqlValue::Number(std::string digits) {
  TSqlValue v;
  v.kind = svNumber;
  v.text = std::move(digits);
  return v;
}

TSqlValue TSqlValue::Integer(int64_t value) {
  TSqlValue v;
  v.kind = svInteger;
  v.integer = value;
  return v;
}

TSqlValue TSqlValue::Timestamp(TDateTime value) {
  TSqlValue v;
  v.kind = svTimestamp;
  v.when = value;
  return v;
}

TSqlValue TSqlValue::Null(TSqlValueKind kind) {
  TSqlValue v;
  v.kind = kind;
  v.null = true;
  return v;
}

std::string TSqlValue::Literal(TDriverKind driverKind) const {
  if (null) return "null";
  switch (kind) {
    case svText: {
      // Appended rather than "'" + ... + "'": GCC 12 at -O3 sees a false overlap (-Wrestrict)
      // in the temporaries of the latter.
      const std::string escaped = EscapeText(text, driverKind);
      std::string r;
      r.reserve(escaped.size() + 2);
      r += '\'';
      r += escaped;
      r += '\'';
      return r;
    }
    case svNumber:
      return text;
    case svInteger:
      return std::to_string(integer);
    case svTimestamp:
      return TimestampLiteral(when);
  }
  return "null";
}

TBoundSql& TBoundSql::operator+=(std::string_view more) {
  text += more;
  return *this;
}

TBoundSql& TBoundSql::operator+=(TSqlValue value) {
  text += '?';
  values.push_back(std::move(value));
  return *this;
}

TBoundSql& TBoundSql::operator+=(const TBoundSql& more) {
  text += more.text;
  values.insert(values.end(), more.values.begin(), more.values.end());
  return *this;
}

std::string TBoundSql::Rendered() const {
  std::string r;
  r.reserve(text.size() + values.size() * 8);
  size_t next = 0;
  char quote = 0;
  for (const char c : text) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?' && next < values.size()) {
      r += values[next++].Literal(driverKind);
      continue;
    }
    r += c;
  }
  return r;
}

std::string TimestampLiteral(TDateTime value) {
  return "{ts '" + TimestampText(value) + "'}";
}

std::string TimestampText(TDateTime value) {
  return FormatDateTimeIso(InTimestampRange(value));
}

std::string EscapeText(const std::string& text, TDriverKind driverKind) {
  std::string r;
  r.reserve(text.size() + 2);
  for (const char c : text) {
    if (c == '\'') r += '\'';
    if (c == '\\' && driverKind == dkMySql) r += '\\';
    r += c;
  }
  return r;
}

}  // namespace fw

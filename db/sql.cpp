#include "db/sql.h"

#include <cmath>
#include <cstdio>

#include "platform/strings.h"

namespace fw {
namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
    s.replace(pos, from.size(), to);
  }
}

// Days of 0001-01-01 and of 10000-01-01 relative to 1899-12-30.
constexpr double kFirstDay = -693593.0;
constexpr double kPastLastDay = 2958466.0;

}  // namespace

TSql::TSql(TDriverKind driverKind) : driverKind_(driverKind) {}

void TSql::Clear(bool allowDuplicates) {
  fieldNames_.clear();
  fieldValues_.clear();
  quotedFlags_.clear();
  allowDuplicates_ = allowDuplicates;
}

int TSql::IndexOfField(const std::string& name) const {
  const std::string key = LowerAscii(name);
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (fieldNames_[i] == key) return static_cast<int>(i);
  }
  return -1;
}

int TSql::AddField(const std::string& name, const std::string& value, bool quoted) {
  const int existing = IndexOfField(name);
  if (existing != -1 && !allowDuplicates_) return existing;
  std::string v = TrimControl(value);
  if (v.empty() && !quoted) v = "null";
  fieldNames_.push_back(LowerAscii(name));
  fieldValues_.push_back(std::move(v));
  quotedFlags_.push_back(quoted);
  return static_cast<int>(fieldNames_.size() - 1);
}

int TSql::AddInteger(const std::string& name, int32_t value) {
  return AddField(name, std::to_string(value), false);
}

int TSql::AddDateTime(const std::string& name, TDateTime value) {
  return AddField(name, TimestampLiteral(value), false);
}

std::string TSql::EscapeValue(const std::string& text) const {
  std::string r = text;
  ReplaceAll(r, "'", "''");
  if (driverKind_ == dkMySql) ReplaceAll(r, "\\", "\\\\");
  return r;
}

std::string TSql::QuotedValue(const std::string& text) const {
  // Appended rather than "'" + ... + "'": GCC 12 at -O3 sees a false overlap (-Wrestrict) in
  // the temporaries of the latter.
  const std::string escaped = EscapeValue(text);
  std::string r;
  r.reserve(escaped.size() + 2);
  r += '\'';
  r += escaped;
  r += '\'';
  return r;
}

std::string TSql::QuoteName(const std::string& name) {
  if (name.find_first_of(" -") != std::string::npos && name.front() != '"') {
    return '"' + name + '"';
  }
  return name;
}

std::string TSql::ValueText(size_t i) const {
  if (quotedFlags_[i] || fieldValues_[i].empty()) return QuotedValue(fieldValues_[i]);
  return fieldValues_[i];
}

std::string TSql::UpdateText(const std::string& prefix, const std::string& where) const {
  std::string text = prefix + " set ";
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (i > 0) text += ", ";
    text += QuoteName(fieldNames_[i]) + "=" + ValueText(i);
  }
  if (!where.empty()) text += " " + where;
  return text;
}

std::string TSql::InsertText(const std::string& prefix, const std::string& keyword,
                             const std::string& suffix) const {
  return prefix + " (" + ColumnListText() + ") " + keyword + " " + ValuesText() + suffix;
}

std::string TSql::ColumnListText() const {
  std::string text;
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (i > 0) text += ", ";
    text += QuoteName(fieldNames_[i]);
  }
  return text;
}

std::string TSql::ValuesText() const {
  std::string text = "(";
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (i > 0) text += ", ";
    text += ValueText(i);
  }
  return text + ")";
}

std::string TimestampLiteral(TDateTime value) {
  if (!std::isfinite(value) || value < kFirstDay || value >= kPastLastDay) value = 0;
  const TDateParts p = DecodeDateTime(value);
  char buf[40];
  std::snprintf(buf, sizeof buf, "{ts '%04d-%02d-%02d %02d:%02d:%02d'}", p.year, p.month, p.day,
                p.hour, p.minute, p.second);
  return buf;
}

}  // namespace fw

#include "db/sql.h"

#include "platform/strings.h"

namespace fw {

TSql::TSql(TDriverKind driverKind) : driverKind_(driverKind) {}

void TSql::Clear(bool allowDuplicates) {
  fieldNames_.clear();
  fieldValues_.clear();
  allowDuplicates_ = allowDuplicates;
}

void TSql::Reserve(size_t fields) {
  fieldNames_.reserve(fields);
  fieldValues_.reserve(fields);
}

// The names are kept lower-cased, so no copy of `name` is needed to compare.
int TSql::IndexOfField(const std::string& name) const {
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (SameTextNoCase(fieldNames_[i], name)) return static_cast<int>(i);
  }
  return -1;
}

int TSql::AddValue(const std::string& name, TSqlValue value) {
  if (!allowDuplicates_) {
    const int existing = IndexOfField(name);
    if (existing != -1) return existing;
  }
  fieldNames_.push_back(LowerAscii(name));
  fieldValues_.push_back(std::move(value));
  return static_cast<int>(fieldNames_.size() - 1);
}

int TSql::AddField(const std::string& name, const std::string& value, TTextUse use) {
  std::string v = TrimControl(value);
  if (use == tuText) return AddValue(name, TSqlValue::Text(std::move(v)));
  return AddValue(name, v.empty() ? TSqlValue::Null(svNumber) : TSqlValue::Number(std::move(v)));
}

int TSql::AddInteger(const std::string& name, int64_t value) {
  return AddValue(name, TSqlValue::Integer(value));
}

int TSql::AddDateTime(const std::string& name, TDateTime value) {
  return AddValue(name, TSqlValue::Timestamp(value));
}

TBoundSql TSql::Bound(std::string text, std::vector<TSqlValue> values) const {
  return TBoundSql(std::move(text), std::move(values), driverKind_);
}

std::string TSql::QuoteName(const std::string& name) {
  if (name.find_first_of(" -") != std::string::npos && name.front() != '"') {
    return '"' + name + '"';
  }
  return name;
}

TBoundSql TSql::UpdateText(const std::string& prefix, const TBoundSql& where) const {
  TBoundSql sql = Bound(prefix + " set ", fieldValues_);
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (i > 0) sql.text += ", ";
    sql.text += QuoteName(fieldNames_[i]);
    sql.text += "=?";
  }
  if (!where.text.empty()) {
    sql += " ";
    sql += where;
  }
  return sql;
}

TBoundSql TSql::InsertText(const std::string& prefix, const std::string& keyword,
                           const std::string& suffix) const {
  TBoundSql sql = Bound(prefix + " (" + ColumnListText() + ") " + keyword + " ");
  sql += ValuesText();
  sql += suffix;
  return sql;
}

std::string TSql::ColumnListText() const {
  std::string text;
  for (size_t i = 0; i < fieldNames_.size(); ++i) {
    if (i > 0) text += ", ";
    text += QuoteName(fieldNames_[i]);
  }
  return text;
}

TBoundSql TSql::ValuesText() const {
  TBoundSql sql = Bound("(", fieldValues_);
  sql.text.reserve(fieldNames_.size() * 3 + 2);
  for (size_t i = 0; i < fieldNames_.size(); ++i) sql.text += i > 0 ? ", ?" : "?";
  sql.text += ')';
  return sql;
}

}  // namespace fw

#include "intake/staging_sql.h"

#include <algorithm>

namespace fw {
namespace {

void AddEntry(const TColumnEntry& e, TSql& sql) {
  switch (e.kind) {
    case vkQuoted:
      sql.AddField(e.name, e.text, tuText);
      break;
    case vkUnquoted:
      sql.AddField(e.name, e.text, tuWholeNumber);
      break;
    case vkInteger:
      sql.AddInteger(e.name, e.integer);
      break;
    case vkDateTime:
      sql.AddDateTime(e.name, e.dateTime);
      break;
  }
}

}  // namespace

bool IsPlainInteger(const std::string& text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

void FillGroupRow(const std::vector<TColumnEntry>& entries, TSql& sql) {
  sql.Clear(false);
  for (const TColumnEntry& e : entries) AddEntry(e, sql);
}

bool FillCardRow(const std::vector<TColumnEntry>& entries, TSql& sql, std::string& error) {
  sql.Clear(false);
  for (const TColumnEntry& e : entries) {
    if (e.kind == vkUnquoted) {
      // Unquoted text is bound as a number: only a number may pass.
      const std::string v = TrimControl(e.text);
      if (!v.empty() && !IsPlainInteger(v)) {
        sql.Clear(false);
        error = "Value \"" + e.text + "\" of " + e.name + " is not a whole number";
        return false;
      }
    }
    AddEntry(e, sql);
  }
  error.clear();
  return true;
}

bool CardRowValues(const std::vector<TColumnEntry>& entries, std::vector<std::string>& names,
                   std::vector<TBoundType>& types, std::vector<std::string>& values,
                   std::string& error) {
  names.clear();
  types.clear();
  values.clear();
  for (const TColumnEntry& e : entries) {
    std::string name = LowerAscii(e.name);
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    names.push_back(std::move(name));
    switch (e.kind) {
      case vkQuoted:
        types.push_back(btText);
        values.push_back(TrimControl(e.text));
        break;
      case vkUnquoted:
        types.push_back(btNumber);
        values.push_back(TrimControl(e.text));
        if (!values.back().empty() && !IsPlainInteger(values.back())) {
          names.clear();
          types.clear();
          values.clear();
          error = "Value \"" + e.text + "\" of " + e.name + " is not a whole number";
          return false;
        }
        break;
      case vkInteger:
        types.push_back(btInteger);
        values.push_back(std::to_string(e.integer));
        break;
      case vkDateTime:
        types.push_back(btTimestamp);
        values.push_back(TimestampText(e.dateTime));
        break;
    }
  }
  error.clear();
  return true;
}

TBoundSql CardRowsSql(const TBoundRows& rows, size_t from, size_t to, TDriverKind kind) {
  std::string text = "INSERT INTO futurecard (";
  for (size_t c = 0; c < rows.Columns(); ++c) {
    if (c > 0) text += ", ";
    text += TSql::QuoteName(rows.Names()[c]);
  }
  text += ") Values ";
  for (size_t r = from; r < to; ++r) {
    text += r > from ? ", (" : "(";
    for (size_t c = 0; c < rows.Columns(); ++c) {
      if (c > 0) text += ", ";
      const std::string& v = rows.Value(r, c);
      switch (rows.Type(c)) {
        case btText:
          text += "'" + EscapeText(v, kind) + "'";
          break;
        case btNumber:
          text += v.empty() ? "null" : v;
          break;
        case btInteger:
          text += v;
          break;
        case btTimestamp:
          text += "{ts '" + v + "'}";
          break;
      }
    }
    text += ")";
  }
  return TBoundSql(std::move(text));
}

}  // namespace fw

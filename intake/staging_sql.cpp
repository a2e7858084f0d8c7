#include "intake/staging_sql.h"

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

}  // namespace fw

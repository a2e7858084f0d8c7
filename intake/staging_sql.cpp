#include "intake/staging_sql.h"

namespace fw {
namespace {

void AddEntry(const TColumnEntry& e, TSql& sql) {
  switch (e.kind) {
    case vkQuoted:
      sql.AddField(e.name, e.text, true);
      break;
    case vkUnquoted:
      sql.AddField(e.name, e.text, false);
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

std::string GroupLookupSql(const TSql& sql, const std::string& groupName) {
  return "SELECT id FROM card_pool WHERE name = " + sql.QuotedValue(TrimControl(groupName));
}

std::string GroupUpdateSql(const TSql& sql, int id) {
  return sql.UpdateText("UPDATE card_pool", "WHERE id = " + std::to_string(id));
}

std::string GroupInsertSql(TSql& sql) {
  sql.AddInteger("cur_inlot", 0);
  return sql.InsertText("INSERT INTO card_pool", "Values");
}

bool FillCardRow(const std::vector<TColumnEntry>& entries, TSql& sql, std::string& error) {
  sql.Clear(false);
  for (const TColumnEntry& e : entries) {
    if (e.kind == vkUnquoted) {
      // Unquoted text goes into the statement as it is: only a number may pass.
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

std::string CardInsertSql(const TSql& sql) {
  return sql.InsertText("INSERT INTO futurecard", "Values");
}

std::string CardRowsInsertSql(const std::string& columns, const std::string& values) {
  return "INSERT INTO futurecard (" + columns + ") Values " + values;
}

std::string CardsByNumberSql(const std::string& numberList) {
  return "SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN (" + numberList +
         ")";
}

}  // namespace fw

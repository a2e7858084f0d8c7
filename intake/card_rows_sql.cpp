#include "intake/card_rows_sql.h"

#include <algorithm>

#include "platform/strings.h"

namespace fw {
namespace {

std::string RowText(const TSql& row) { return row.ValuesText(); }

}  // namespace

TCardRowsForm CardRowsForm(TDriverKind kind, const std::string& dbmsName) {
  if (kind == dkPostgres) return rfValuesJoin;
  if (kind == dkMySql) return rfUnionJoin;
  if (kind == dkGeneric && LowerAscii(dbmsName) == "sqlite") {
    return rfUpdateFrom;
  }
  return rfNone;
}

// SQLite: 200-row INSERTs of markers ran fastest; MariaDB: 1,000 rows, and over 32,767 markers
// the driver fails; psqlODBC: 7,500 markers or more break the connection.
size_t CardRowsPerStatement(TDriverKind kind, size_t columns) {
  size_t rows = 200, markers = 30000;
  if (kind == dkMySql) rows = 1000;
  if (kind == dkPostgres) {
    rows = 700;
    markers = 7000;
  }
  return std::max<size_t>(1, std::min(rows, markers / std::max<size_t>(1, columns)));
}

std::string CardRowsInsertSql(const std::vector<const TSql*>& rows) {
  std::string text = "INSERT INTO card (" + rows.front()->ColumnListText() + ") Values ";
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) text += ", ";
    text += RowText(*rows[i]);
  }
  return text;
}

// PostgreSQL and SQLite join a VALUES list (SQLite names its columns column1, column2, ...);
// the MySQL family has no names for a VALUES list in a join, so the rows are a UNION ALL of
// SELECTs, the first of which names the columns.
std::string CardRowsUpdateSql(TCardRowsForm form, const std::vector<const TSql*>& rows) {
  const TSql& first = *rows.front();
  const auto column = [&](size_t i) {
    return form == rfUpdateFrom ? "column" + std::to_string(i + 1) : TSql::QuoteName(first.FieldName(i));
  };
  std::string set, key;
  for (size_t i = 0; i < first.Count(); ++i) {
    if (first.FieldName(i) == "number") {
      key = "v." + column(i);
      continue;
    }
    set += set.empty() ? "" : ", ";
    set += (form == rfUnionJoin ? "c." : "") + TSql::QuoteName(first.FieldName(i)) + " = v." +
           column(i);
  }
  if (form == rfUnionJoin) {
    std::string list;
    for (size_t r = 0; r < rows.size(); ++r) {
      list += r == 0 ? "SELECT " : " UNION ALL SELECT ";
      for (size_t i = 0; i < rows[r]->Count(); ++i) {
        list += (i == 0 ? "" : ", ") + rows[r]->ValueText(i);
        if (r == 0) list += " AS " + column(i);
      }
    }
    return "UPDATE card c JOIN (" + list + ") v ON c.number = " + key + " SET " + set;
  }
  std::string list;
  for (size_t r = 0; r < rows.size(); ++r) list += (r == 0 ? "" : ", ") + RowText(*rows[r]);
  std::string names;
  if (form != rfUpdateFrom) {
    for (size_t i = 0; i < first.Count(); ++i) names += (i == 0 ? "" : ", ") + column(i);
    names = " (" + names + ")";
  }
  return "UPDATE card SET " + set + " FROM (VALUES " + list + ") AS v" + names +
         " WHERE card.number = " + key;
}

}  // namespace fw

#include "intake/card_rows_sql.h"

#include <algorithm>
#include <utility>

#include "platform/strings.h"

namespace fw {
namespace {

// psqlODBC sends every value with the type of its SQL type, and the rows of a VALUES list must
// agree on one type per column: a text, a number and a time each as what they are.
std::string Marker(TCardRowsForm form, const TSqlValue& value) {
  if (form != rfValuesJoin) return "?";
  switch (value.kind) {
    case svText:
      return "CAST(? AS VARCHAR)";
    case svNumber:
      return "CAST(? AS NUMERIC)";
    case svInteger:
      return "CAST(? AS BIGINT)";
    case svTimestamp:
      return "CAST(? AS TIMESTAMP)";
  }
  return "?";
}

void AppendRow(TBoundSql& sql, TCardRowsForm form, const TSql& row, const std::string& open,
               const std::string& close) {
  sql += open;
  for (size_t i = 0; i < row.Count(); ++i) {
    if (i > 0) sql += ", ";
    sql.text += Marker(form, row.FieldValue(i));
    sql.values.push_back(row.FieldValue(i));
  }
  sql += close;
}

}  // namespace

TCardRowsForm CardRowsForm(TDriverKind kind, const std::string& dbmsName) {
  if (kind == dkPostgres) return rfValuesJoin;
  if (kind == dkMySql) return rfUnionJoin;
  if (kind == dkGeneric && LowerAscii(dbmsName) == "sqlite") return rfUpdateFrom;
  return rfNone;
}

// SQLite ran 200-row statements of markers fastest. MariaDB's driver scans the text at a cost
// of markers times length (51-63 us a row at 100-400 rows, 139 at 1,000), and fails over
// 32,767 markers; it takes this form only where an array cannot (texts as UTF-16, a value
// an array does not hold). psqlODBC loses the connection from about 7,500 markers.
size_t CardRowsPerStatement(TDriverKind kind, size_t columns) {
  size_t rows = 200, markers = 30000;
  if (kind == dkPostgres) {
    rows = 700;
    markers = kMaxBoundValues;
  }
  return std::max<size_t>(1, std::min(rows, markers / std::max<size_t>(1, columns)));
}

bool CardRows(const std::vector<const TSql*>& rows, TBoundRows& bound) {
  const TSql& first = *rows.front();
  std::vector<std::string> names;
  std::vector<TBoundType> types;
  for (size_t i = 0; i < first.Count(); ++i) {
    names.push_back(TSql::QuoteName(first.FieldName(i)));
    const TSqlValueKind kind = first.FieldValue(i).kind;
    types.push_back(kind == svNumber      ? btNumber
                    : kind == svInteger   ? btInteger
                    : kind == svTimestamp ? btTimestamp
                                          : btText);
  }
  bound.Reset(std::move(names), std::move(types));
  bound.Reserve(rows.size());
  // The rows of a file mostly share their times: each column's last one is formatted once.
  std::vector<std::pair<TDateTime, std::string>> lastTimes(first.Count());
  const auto timeText = [&](size_t column, TDateTime when) -> const std::string& {
    auto& [last, text] = lastTimes[column];
    if (text.empty() || last != when) {
      last = when;
      text = TimestampText(when);
    }
    return text;
  };
  for (const TSql* row : rows) {
    std::vector<std::string> values;
    values.reserve(row->Count());
    for (size_t i = 0; i < row->Count(); ++i) {
      const TSqlValue& value = row->FieldValue(i);
      if (value.kind != first.FieldValue(i).kind || (value.null && value.kind != svNumber)) {
        return false;
      }
      values.push_back(value.null                  ? std::string()
                       : value.kind == svInteger   ? std::to_string(value.integer)
                       : value.kind == svTimestamp ? timeText(i, value.when)
                                                   : value.text);
    }
    bound.AddRow(std::move(values));
  }
  return true;
}

TBoundSql CardRowsInsertSql(const std::vector<const TSql*>& rows) {
  const TSql& first = *rows.front();
  TBoundSql sql = first.Bound("INSERT INTO card (" + first.ColumnListText() + ") Values ");
  for (size_t r = 0; r < rows.size(); ++r) {
    if (r > 0) sql += ", ";
    sql += rows[r]->ValuesText();
  }
  return sql;
}

// PostgreSQL and SQLite join a VALUES list (SQLite names its columns column1, column2, ...);
// the MySQL family has no names for a VALUES list in a join, so the rows are a UNION ALL of
// SELECTs, the first of which names the columns.
TBoundSql CardRowsUpdateSql(TCardRowsForm form, const std::vector<const TSql*>& rows) {
  const TSql& first = *rows.front();
  const auto column = [&](size_t i) {
    return form == rfUpdateFrom ? "column" + std::to_string(i + 1)
                                : TSql::QuoteName(first.FieldName(i));
  };
  std::string set, key, names;
  for (size_t i = 0; i < first.Count(); ++i) {
    names += (i == 0 ? "" : ", ") + column(i);
    if (first.FieldName(i) == "number") {
      key = "v." + column(i);
      continue;
    }
    set += set.empty() ? "" : ", ";
    set += (form == rfUnionJoin ? "c." : "") + TSql::QuoteName(first.FieldName(i)) + " = v." +
           column(i);
  }
  TBoundSql sql = first.Bound("");
  if (form == rfUnionJoin) {
    sql += "UPDATE card c JOIN (";
    for (size_t r = 0; r < rows.size(); ++r) {
      sql += r == 0 ? "SELECT " : " UNION ALL SELECT ";
      for (size_t i = 0; i < rows[r]->Count(); ++i) {
        if (i > 0) sql += ", ";
        sql += rows[r]->FieldValue(i);
        if (r == 0) sql += " AS " + column(i);
      }
    }
    sql += ") v ON c.number = " + key + " SET " + set;
    return sql;
  }
  sql += "UPDATE card SET " + set + " FROM (VALUES ";
  for (size_t r = 0; r < rows.size(); ++r)
    AppendRow(sql, form, *rows[r], r == 0 ? "(" : ", (", ")");
  sql += ") AS v";
  if (form != rfUpdateFrom) sql += " (" + names + ")";
  sql += " WHERE card.number = " + key;
  return sql;
}

}  // namespace fw

#include "intake/card_sql.h"

#include <charconv>

#include "platform/strings.h"

namespace fw {
namespace {

// An id compared as an integer, so that PostgreSQL uses the key's index (a BIGINT compared
// with a NUMERIC is not); one that is no 64-bit integer is bound as it is and matches nothing.
TSqlValue IdValue(const std::string& id) {
  int64_t value = 0;
  const char* first = id.data() + (!id.empty() && id[0] == '+' ? 1 : 0);
  const char* last = id.data() + id.size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (error == std::errc() && end == last && first != last) return TSqlValue::Integer(value);
  return TSqlValue::Number(id);
}

// "(?, ?, ...)" of `count` markers.
std::string MarkerList(size_t count) {
  std::string text = "(";
  for (size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ", ?";
  return text + ")";
}

}  // namespace

TBoundSql GroupLookupSql(const TSql& sql, const std::string& groupName) {
  return sql.Bound("SELECT id FROM card_pool WHERE name = ?",
                   {TSqlValue::Text(TrimControl(groupName))});
}

TBoundSql GroupUpdateSql(const TSql& sql, int id) {
  return sql.UpdateText("UPDATE card_pool", sql.Bound("WHERE id = ?", {TSqlValue::Integer(id)}));
}

TBoundSql GroupInsertSql(TSql& sql) {
  sql.AddInteger("cur_inlot", 0);
  return sql.InsertText("INSERT INTO card_pool", "Values");
}

TBoundSql CardInsertSql(const TSql& sql) {
  return sql.InsertText("INSERT INTO futurecard", "Values");
}

TBoundSql CardRowsInsertSql(const std::string& columns, const TBoundSql& values) {
  TBoundSql sql("INSERT INTO futurecard (" + columns + ") Values ", {}, values.driverKind);
  sql += values;
  return sql;
}

std::string StagedIdSql(const char* aggregate) {
  return std::string("SELECT ") + aggregate + "(id) AS id FROM futurecard";
}

TBoundSql StagedIdAboveSql(long long above) {
  return TBoundSql("SELECT MIN(id) AS id FROM futurecard WHERE id > ?", {TSqlValue::Integer(above)},
                   dkGeneric);
}

TBoundSql StagedRangeSql(long long first, long long last) {
  return TBoundSql("SELECT * FROM futurecard WHERE id >= ? AND id <= ? ORDER BY id",
                   {TSqlValue::Integer(first), TSqlValue::Integer(last)}, dkGeneric);
}

TBoundSql ClaimSql(const std::string& id) {
  return TBoundSql("DELETE FROM futurecard WHERE id = ?", {IdValue(id)}, dkGeneric);
}

TBoundSql ClaimAllSql(const std::vector<std::string>& ids) {
  TBoundSql sql("DELETE FROM futurecard WHERE id IN " + MarkerList(ids.size()));
  for (const std::string& id : ids) sql.values.push_back(IdValue(id));
  return sql;
}

TBoundSql CardByNumberSql(const TSqlValue& number, TDriverKind driverKind) {
  return TBoundSql("SELECT * FROM card WHERE number = ?", {number}, driverKind);
}

TBoundSql CardNumberSql(const TSqlValue& number, TDriverKind driverKind) {
  return TBoundSql("SELECT number FROM card WHERE number = ?", {number}, driverKind);
}

TBoundSql CardsByNumberSql(const std::vector<std::string>& numbers) {
  TBoundSql sql("SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN " +
                MarkerList(numbers.size()));
  for (const std::string& number : numbers) sql.values.push_back(TSqlValue::Number(number));
  return sql;
}

TBoundSql NewCardsInsertSql(const std::string& columns, const TBoundSql& values) {
  TBoundSql sql("INSERT INTO card (" + columns + ") Values ", {}, values.driverKind);
  sql += values;
  return sql;
}

TBoundSql TypeByIdSql(long long id) {
  return TBoundSql("SELECT * FROM card_type WHERE id = ?", {TSqlValue::Integer(id)}, dkGeneric);
}

TBoundSql TypeByNameSql(const TSql& sql, const std::string& upperName) {
  return sql.Bound("SELECT * FROM card_type WHERE Upper(name) = ?", {TSqlValue::Text(upperName)});
}

TBoundSql PoolIdSql(const TSql& sql, const std::string& name) {
  return sql.Bound("SELECT id FROM card_pool WHERE name = ?", {TSqlValue::Text(name)});
}

std::string LockingProbeSql() { return "SELECT id FROM futurecard WHERE 1 = 0 FOR UPDATE"; }

TBoundSql WaitingCondition(TDateTime now) {
  return TBoundSql("f.start_dt >= ? AND EXISTS (SELECT 1 FROM card c WHERE c.number = f.number)",
                   {TSqlValue::Timestamp(now)}, dkGeneric);
}

std::string FailureText(const TDbStatus& status, const TBoundSql& sql) {
  return status.CodedText() + " in SQL: " + sql.Rendered();
}

}  // namespace fw

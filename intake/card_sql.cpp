#include "intake/card_sql.h"

#include <charconv>
#include <cstdint>

#include "platform/strings.h"

namespace fw {

TBoundSql GroupLookupSql(const TSql& sql, const std::string& groupName) {
  return sql.Bound("SELECT id FROM card_pool WHERE name = ?",
                   {TSqlValue::Text(TrimControl(groupName))});
}

TBoundSql GroupUpdateSql(const TSql& sql, int id) {
  return sql.UpdateText("UPDATE card_pool", "WHERE id = " + std::to_string(id));
}

TBoundSql GroupInsertSql(TSql& sql) {
  sql.AddInteger("cur_inlot", 0);
  return sql.InsertText("INSERT INTO card_pool", "Values");
}

TBoundSql CardInsertSql(const TSql& sql) {
  return sql.InsertText("INSERT INTO futurecard", "Values");
}

std::string StagedIdSql(const char* aggregate) {
  return std::string("SELECT ") + aggregate + "(id) AS id FROM futurecard";
}

TBoundSql StagedIdAboveSql(long long above) {
  return TBoundSql("SELECT MIN(id) AS id FROM futurecard WHERE id > ?",
                   {TSqlValue::Integer(above)}, dkGeneric);
}

TBoundSql StagedRangeSql(long long first, long long last) {
  return TBoundSql("SELECT * FROM futurecard WHERE id >= ? AND id <= ? ORDER BY id",
                   {TSqlValue::Integer(first), TSqlValue::Integer(last)}, dkGeneric);
}

namespace {

// Ids go as integers: compared with a NUMERIC, PostgreSQL would not use the id's index.
TSqlValue IdValue(const std::string& id) {
  int64_t value = 0;
  const char* begin = id.data() + (id.size() > 1 && id[0] == '+' ? 1 : 0);
  const auto [end, error] = std::from_chars(begin, id.data() + id.size(), value);
  if (error == std::errc() && end == id.data() + id.size()) return TSqlValue::Integer(value);
  return TSqlValue::Number(id);
}

}  // namespace

TBoundSql ClaimSql(const std::string& id) {
  return TBoundSql("DELETE FROM futurecard WHERE id = ?", {IdValue(id)}, dkGeneric);
}

namespace {

// "<head>?, ?, ...)" with a value of each item.
template <class Value>
TBoundSql ListSql(const std::string& head, const std::vector<std::string>& items, Value value) {
  TBoundSql sql(head, {}, dkGeneric);
  for (size_t i = 0; i < items.size(); ++i) {
    sql += i == 0 ? "" : ", ";
    sql += value(items[i]);
  }
  sql += ")";
  return sql;
}

}  // namespace

TBoundSql ClaimAllSql(const std::vector<std::string>& ids) {
  return ListSql("DELETE FROM futurecard WHERE id IN (", ids, IdValue);
}

TBoundSql CardByNumberSql(const TSqlValue& number, TDriverKind driverKind) {
  return TBoundSql("SELECT * FROM card WHERE number = ?", {number}, driverKind);
}

TBoundSql CardNumberSql(const TSqlValue& number, TDriverKind driverKind) {
  return TBoundSql("SELECT number FROM card WHERE number = ?", {number}, driverKind);
}

TBoundSql CardsByNumberSql(const std::vector<std::string>& numbers) {
  return ListSql("SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN (",
                 numbers, [](const std::string& number) { return TSqlValue::Number(number); });
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

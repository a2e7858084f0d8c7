#include "intake/card_sql.h"

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

std::string StagedIdAboveSql(long long above) {
  return "SELECT MIN(id) AS id FROM futurecard WHERE id > " + std::to_string(above);
}

std::string StagedRangeSql(long long first, long long last) {
  return "SELECT * FROM futurecard WHERE id >= " + std::to_string(first) +
         " AND id <= " + std::to_string(last) + " ORDER BY id";
}

std::string ClaimSql(const std::string& id) { return "DELETE FROM futurecard WHERE id = " + id; }

std::string ClaimAllSql(const std::string& idList) {
  return "DELETE FROM futurecard WHERE id IN (" + idList + ")";
}

TBoundSql CardByNumberSql(const TSqlValue& number, TDriverKind driverKind) {
  return TBoundSql("SELECT * FROM card WHERE number = ?", {number}, driverKind);
}

TBoundSql CardNumberSql(const TSqlValue& number, TDriverKind driverKind) {
  return TBoundSql("SELECT number FROM card WHERE number = ?", {number}, driverKind);
}

std::string CardsByNumberSql(const std::string& numberList) {
  return "SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN (" + numberList +
         ")";
}

TBoundSql NewCardsInsertSql(const std::string& columns, const TBoundSql& values) {
  TBoundSql sql("INSERT INTO card (" + columns + ") Values ", {}, values.driverKind);
  sql += values;
  return sql;
}

std::string TypeByIdSql(long long id) {
  return "SELECT * FROM card_type WHERE id = " + std::to_string(id);
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

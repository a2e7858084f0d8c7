#include "intake/card_sql.h"

#include "platform/strings.h"

namespace fw {

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

std::string CardInsertSql(const TSql& sql) {
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

std::string CardByNumberSql(const std::string& numberLiteral) {
  return "SELECT * FROM card WHERE number = " + numberLiteral;
}

std::string CardNumberSql(const std::string& numberLiteral) {
  return "SELECT number FROM card WHERE number = " + numberLiteral;
}

std::string CardsByNumberSql(const std::string& numberList) {
  return "SELECT number, type_id, debit_left, exp_iry FROM card WHERE number IN (" + numberList +
         ")";
}

std::string NewCardsInsertSql(const std::string& columns, const std::string& values) {
  return "INSERT INTO card (" + columns + ") Values " + values;
}

std::string TypeByIdSql(long long id) {
  return "SELECT * FROM card_type WHERE id = " + std::to_string(id);
}

std::string TypeByNameSql(const TSql& sql, const std::string& upperName) {
  return "SELECT * FROM card_type WHERE Upper(name) = " + sql.QuotedValue(upperName);
}

std::string PoolIdSql(const TSql& sql, const std::string& name) {
  return "SELECT id FROM card_pool WHERE name = " + sql.QuotedValue(name);
}

std::string LockingProbeSql() { return "SELECT id FROM futurecard WHERE 1 = 0 FOR UPDATE"; }

std::string WaitingCondition(TDateTime now) {
  return "f.start_dt >= " + TimestampLiteral(now) +
         " AND EXISTS (SELECT 1 FROM card c WHERE c.number = f.number)";
}

std::string FailureText(const TDbStatus& status, const std::string& sql) {
  return status.CodedText() + " in SQL: " + sql;
}

}  // namespace fw

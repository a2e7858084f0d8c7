// The SQL texts that intake runs on card, card_type, card_pool and futurecard, built here
// only, so that staging, the pass and the monitoring counts read and write the same rows the
// same way. Values reach these texts quoted by TSql or as plain integers checked before.
#pragma once

#include <string>

#include "db/sql.h"
#include "db/status.h"
#include "platform/datetime.h"

namespace fw {

// Staging.
// The lookup of a group by its trimmed name, escaped as the builder escapes values:
// SELECT id FROM card_pool WHERE name = '...'
std::string GroupLookupSql(const TSql& sql, const std::string& groupName);
// UPDATE card_pool set ... WHERE id = <id>
std::string GroupUpdateSql(const TSql& sql, int id);
// Adds cur_inlot = 0, then INSERT INTO card_pool (...) Values (...)
std::string GroupInsertSql(TSql& sql);
// INSERT INTO futurecard (...) Values (...)
std::string CardInsertSql(const TSql& sql);

// The future-card pass.
// SELECT MIN(id) or MAX(id) AS id FROM futurecard, of the ids above `above` when given.
std::string StagedIdSql(const char* aggregate);
std::string StagedIdAboveSql(long long above);
// The staged records of ids [first, last], in id order.
std::string StagedRangeSql(long long first, long long last);
// Claims staged records by deleting them: one id, or a list "1, 2, 3".
std::string ClaimSql(const std::string& id);
std::string ClaimAllSql(const std::string& idList);
// The card of a number as NumberLiteral gives it, whole or its number only.
std::string CardByNumberSql(const std::string& numberLiteral);
std::string CardNumberSql(const std::string& numberLiteral);
// The read of the cards of a list of plain-integer numbers.
std::string CardsByNumberSql(const std::string& numberList);
// INSERT INTO card (...) Values (...), (...)
std::string NewCardsInsertSql(const std::string& columns, const std::string& values);
std::string TypeByIdSql(long long id);
// `upperName` compared with the upper-cased type name.
std::string TypeByNameSql(const TSql& sql, const std::string& upperName);
// The group of a staged record, by its name as staged.
std::string PoolIdSql(const TSql& sql, const std::string& name);

// Runs where the database has SELECT ... FOR UPDATE, and is refused where it has not.
std::string LockingProbeSql();

// The due rule (IsDue, card_plan.h) as SQL on futurecard f: true of the records that wait.
std::string WaitingCondition(TDateTime now);

// A failed statement as a log line shows it: "SQLSTATE s, native n: <driver's text> in SQL: <sql>".
std::string FailureText(const TDbStatus& status, const std::string& sql);

}  // namespace fw

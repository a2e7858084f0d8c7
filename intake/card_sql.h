// The SQL texts that intake runs on card, card_type, card_pool and futurecard, built here
// only, so that staging, the pass and the monitoring counts read and write the same rows the
// same way. Every value is bound to a marker (db/bound_sql.h).
#pragma once

#include <string>
#include <vector>

#include "db/bound_sql.h"
#include "db/sql.h"
#include "db/status.h"
#include "platform/datetime.h"

namespace fw {

// Staging.
// The lookup of a group by its trimmed name:
// SELECT id FROM card_pool WHERE name = ?
TBoundSql GroupLookupSql(const TSql& sql, const std::string& groupName);
// UPDATE card_pool set ... WHERE id = <id>
TBoundSql GroupUpdateSql(const TSql& sql, int id);
// Adds cur_inlot = 0, then INSERT INTO card_pool (...) Values (...)
TBoundSql GroupInsertSql(TSql& sql);
// INSERT INTO futurecard (...) Values (...)
TBoundSql CardInsertSql(const TSql& sql);
// The same for rows gathered by TStageBatches: `values` as "(...), (...)".
TBoundSql CardRowsInsertSql(const std::string& columns, const TBoundSql& values);

// The future-card pass.
// SELECT MIN(id) or MAX(id) AS id FROM futurecard, of the ids above `above` when given.
std::string StagedIdSql(const char* aggregate);
TBoundSql StagedIdAboveSql(long long above);
// The staged records of ids [first, last], in id order.
TBoundSql StagedRangeSql(long long first, long long last);
// Claims staged records by deleting them, by their ids as read (plain integers).
TBoundSql ClaimSql(const std::string& id);
TBoundSql ClaimAllSql(const std::vector<std::string>& ids);
// The card of a number as NumberValue gives it, whole or its number only.
TBoundSql CardByNumberSql(const TSqlValue& number, TDriverKind driverKind);
TBoundSql CardNumberSql(const TSqlValue& number, TDriverKind driverKind);
// The read of the cards of plain-integer numbers.
TBoundSql CardsByNumberSql(const std::vector<std::string>& numbers);
// INSERT INTO card (...) Values (...), (...)
TBoundSql NewCardsInsertSql(const std::string& columns, const TBoundSql& values);
TBoundSql TypeByIdSql(long long id);
// `upperName` compared with the upper-cased type name.
TBoundSql TypeByNameSql(const TSql& sql, const std::string& upperName);
// The group of a staged record, by its name as staged.
TBoundSql PoolIdSql(const TSql& sql, const std::string& name);

// Runs where the database has SELECT ... FOR UPDATE, and is refused where it has not.
std::string LockingProbeSql();

// The due rule (IsDue, card_plan.h) as SQL on futurecard f: true of the records that wait.
TBoundSql WaitingCondition(TDateTime now);

// A failed statement as a log line shows it, values written in:
// "SQLSTATE s, native n: <driver's text> in SQL: <sql>".
std::string FailureText(const TDbStatus& status, const TBoundSql& sql);

}  // namespace fw

// The statements with which the batched pass writes the card rows of many records at once: one
// multi-row INSERT of new cards, and one UPDATE of existing cards joined with the list of their
// new rows, in the form each database takes. Every row is the TSql of one record's plan; the
// rows of one statement have the same columns, and each names its card by a plain-integer
// `number`, a different card in every row.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "db/bound_sql.h"
#include "db/bulk_insert.h"
#include "db/driver_kind.h"
#include "db/sql.h"

namespace fw {

// How a database takes an UPDATE joined with a list of rows.
enum TCardRowsForm {
  rfNone,        // not known: one UPDATE per card
  rfValuesJoin,  // UPDATE card SET ... FROM (VALUES ...) AS v (names) (PostgreSQL)
  rfUpdateFrom,  // the same with the list's own column names (SQLite 3.33 on)
  rfUnionJoin,   // UPDATE card c JOIN (SELECT ... UNION ALL SELECT ...) v (the MySQL family)
};
// From the driver kind, and for SQLite (of the generic kind) from the database's name.
TCardRowsForm CardRowsForm(TDriverKind kind, const std::string& dbmsName);

// How many rows of `columns` values one UPDATE takes on the database of `kind`: below the
// markers that break a statement, at the sizes measured fastest.
size_t CardRowsPerStatement(TDriverKind kind, size_t columns);

// INSERT INTO card (...) Values (...), (...): as TBoundInserter runs `rows`, for the log.
TBoundSql CardRowsInsertSql(const std::vector<const TSql*>& rows);
// The rows for TBoundInserter (db/bulk_insert.h), which inserts them in the driver's fastest
// way; false when a value is one it cannot hold (a NULL other than a number's, or a kind
// other than the first row's).
bool CardRows(const std::vector<const TSql*>& rows, TBoundRows& bound);

// Every column of the rows but `number` set from the row of the card's number.
TBoundSql CardRowsUpdateSql(TCardRowsForm form, const std::vector<const TSql*>& rows);

}  // namespace fw

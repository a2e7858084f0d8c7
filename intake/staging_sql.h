// The rows that staging fills for one line of a card file, built with TSql (the statements
// around them: card_sql.h). Shared by card file processing and by the offline check of
// `fenwoldctl validate`.
#pragma once

#include <string>
#include <vector>

#include "db/bulk_insert.h"
#include "db/sql.h"
#include "intake/card_file.h"
#include "intake/card_sql.h"

namespace fw {

// Group row: fills `sql` (cleared first, no duplicates) with NAME (quoted) and MAX_INLOT.
void FillGroupRow(const std::vector<TColumnEntry>& entries, TSql& sql);
// Card row: fills `sql` (cleared first, no duplicates) from the entries in layout order.
// False, with `error` set and `sql` left empty, when NUMBER (after trimming) is neither empty
// nor a plain integer (optional sign, digits): such a value must never reach the statement.
// The caller treats it as a failed statement of the file.
bool FillCardRow(const std::vector<TColumnEntry>& entries, TSql& sql, std::string& error);
// The same card row as values to bind: the column names and types FillCardRow writes, and the
// values it would write into the statement, trimmed as it trims them. False as FillCardRow.
bool CardRowValues(const std::vector<TColumnEntry>& entries, std::vector<std::string>& names,
                   std::vector<TBoundType>& types, std::vector<std::string>& values,
                   std::string& error);
// Card rows [from, to) as one statement with their values in its text (no markers), for one
// row what the statement of FillCardRow and CardInsertSql renders as: how a log line shows
// bound rows. For the log only, never run.
TBoundSql CardRowsSql(const TBoundRows& rows, size_t from, size_t to, TDriverKind kind);
// Optional sign then one or more digits, nothing else.
bool IsPlainInteger(const std::string& text);

}  // namespace fw

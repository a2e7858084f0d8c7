// The statements that staging runs for one line of a card file, built with TSql. Shared by
// card file processing and by the offline check of `fenwoldctl validate`.
#pragma once

#include <string>
#include <vector>

#include "db/sql.h"
#include "intake/card_file.h"

namespace fw {

// Group row: fills `sql` (cleared first, no duplicates) with NAME (quoted) and MAX_INLOT.
void FillGroupRow(const std::vector<TColumnEntry>& entries, TSql& sql);
// The lookup of a group by its trimmed name, escaped as the builder escapes values:
// SELECT id FROM card_pool WHERE name = '...'
std::string GroupLookupSql(const TSql& sql, const std::string& groupName);
// UPDATE card_pool set ... WHERE id = <id>
std::string GroupUpdateSql(const TSql& sql, int id);
// Adds cur_inlot = 0, then INSERT INTO card_pool (...) Values (...)
std::string GroupInsertSql(TSql& sql);

// Card row: fills `sql` (cleared first, no duplicates) from the entries in layout order.
// False, with `error` set and `sql` left empty, when NUMBER (after trimming) is neither empty
// nor a plain integer (optional sign, digits): such a value must never reach the statement.
// The caller treats it as a failed statement of the file.
bool FillCardRow(const std::vector<TColumnEntry>& entries, TSql& sql, std::string& error);
// INSERT INTO futurecard (...) Values (...)
std::string CardInsertSql(const TSql& sql);
// The same for rows gathered by TStageBatches: `values` as "(...), (...)".
std::string CardRowsInsertSql(const std::string& columns, const std::string& values);

// The future-card pass's read of the cards of a list of plain-integer numbers.
std::string CardsByNumberSql(const std::string& numberList);

// Optional sign then one or more digits, nothing else.
bool IsPlainInteger(const std::string& text);

}  // namespace fw

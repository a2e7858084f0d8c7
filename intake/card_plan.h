// The decision of the card record application, apart from its writing: the rules, the lookups
// it needs (one statement each, TStatementLookups, or what the batched pass read ahead,
// TPassCache) and the plan it makes of them. Nothing here runs a statement but the lookups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/bound_sql.h"
#include "db/driver_kind.h"
#include "db/sql.h"
#include "db/statement.h"
#include "db/status.h"
#include "platform/datetime.h"

namespace fw {

// One row of futurecard, read column by column in table order, each column once (a driver
// that reads through SQLGetData may not give a column twice).
struct TStagedRecord {
  std::string id;
  std::string command;
  std::string number;
  std::string cardType;
  std::string descriptive[14];  // DESCR .. MISC_4, in DescriptiveColumns order
  TDateTime startDt = 0;
  TDateTime expiry = 0;
  int32_t addValue = 0;
  std::string groupName;
};
// Where the columns of a record lie in a result of futurecard rows, looked up once for all
// its rows; -1 for a column the result lacks (read as empty).
struct TStagedColumns {
  explicit TStagedColumns(const TODBCStatement& staged);
  int id, command, number, cardType, startDt, expiry, addValue, groupName;
  int descriptive[14];
};
TStagedRecord ReadStagedRecord(TODBCStatement& staged, const TStagedColumns& columns);
TStagedRecord ReadStagedRecord(TODBCStatement& staged);

// The 14 descriptive columns, in the order in which they are written to `card`.
extern const char* const DescriptiveColumns[14];

// (month of second - month of first + 12) mod 12 == 1.
bool IsNextMonth(TDateTime first, TDateTime second);

// The expiry rules of a staged record (`addValue` as staged). The monthly rule is false when
// `addValue` leads to month 0 (23, 35, ..., or -1 and 65535 as an unsigned 16-bit number).
bool MonthlyExpiry(TDateTime now, int32_t addValue, TDateTime& expiry);
TDateTime DayExpiry(TDateTime now, TDateTime stagedExpiry, bool exists, TDateTime cardExpiry,
                    int32_t addValue);

// A staged record is due when its start has passed or its card does not exist yet (a new card
// takes effect at once). The same rule as SQL: WaitingCondition (card_sql.h).
bool IsDue(TDateTime now, TDateTime start, bool cardExists);

// A card number as a statement binds it: plain integers as numbers, an empty number as NULL,
// anything else as text.
TSqlValue NumberValue(const std::string& number);

// Each lookup answers dcOk (found), dcNoRow (not found) or the failure of its statement, which
// is never an answer: FailedSql() then names that statement.
class TCardLookups {
 public:
  struct TCard {
    bool exists = false;
    int64_t typeId = 0;
    int32_t debitLeft = 0;
    TDateTime expiry = 0;
  };
  struct TType {
    bool found = false;
    int64_t id = 0;
    bool monthly = false, debit = false, globalExpiry = false;
  };
  virtual ~TCardLookups() = default;
  // `number` as NumberValue gives it.
  virtual TDbStatus Card(const TSqlValue& number, TCard& card) = 0;
  virtual TDbStatus TypeById(int64_t id, TType& type) = 0;
  // `name` upper-cased.
  virtual TDbStatus TypeByName(const std::string& name, TType& type) = 0;
  virtual TDbStatus Group(const std::string& name, int32_t& id) = 0;
  virtual const TBoundSql& FailedSql() const = 0;
};

struct TCardPlan {
  std::string id;                  // of the staged record, to delete it by
  std::vector<std::string> lines;  // log lines before the write
  bool write = false;              // false when the record was refused
  bool insert = false;
  TSql fields = TSql(dkGeneric);  // of the write; rows of the same columns share a statement
  TSqlValue number;               // the card's, as the UPDATE names it
};
// The INSERT or UPDATE of a plan that writes. Built only when one record's statement runs:
// the batched pass writes the fields of many plans in one.
TBoundSql CardWriteSql(const TCardPlan& plan);

enum TPlanOutcome {
  pnSkipped,  // the command does not begin with A or C, or the id is not ours: the record stays
  pnPlanned,  // `plan` says what to log and write (nothing, for a refused record)
  pnFailed,   // a lookup failed (`failure`; lookups.FailedSql()): nothing is decided
};
// The plan of `staged` from `lookups`, the card's current row read through them.
TPlanOutcome PlanStagedRecord(const TStagedRecord& staged, TCardLookups& lookups,
                              TDriverKind driverKind, const TClock& clock, TCardPlan& plan,
                              TDbStatus& failure);

}  // namespace fw

// The decision of a staged record: the expiry rules, the reading of a record and its plan.
#include "intake/card_plan.h"

#include <cstdint>
#include <string>
#include <utility>

#include "db/sql.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"
#include "platform/strings.h"

namespace fw {
namespace {

const TDateTime EndOfDay = 86399999.0 / 86400000.0;  // 23:59:59.999

}  // namespace

const char* const DescriptiveColumns[14] = {
    "DESCR",     "LAST_NAME", "FIRST_NAME", "STR_EET", "CI_TY",  "POST_CODE", "PHONE_RES",
    "PHONE_BUS", "LICENSE_1", "LICENSE_2",  "MISC_1",  "MISC_2", "MISC_3",    "MISC_4"};

TStagedColumns::TStagedColumns(const TODBCStatement& staged)
    : id(staged.ColumnIndex("id")),
      command(staged.ColumnIndex("command")),
      number(staged.ColumnIndex("number")),
      cardType(staged.ColumnIndex("card_type")),
      startDt(staged.ColumnIndex("start_dt")),
      expiry(staged.ColumnIndex("exp_iry")),
      addValue(staged.ColumnIndex("add_value")),
      groupName(staged.ColumnIndex("group_name")) {
  for (size_t i = 0; i < 14; ++i) descriptive[i] = staged.ColumnIndex(DescriptiveColumns[i]);
}

TStagedRecord ReadStagedRecord(TODBCStatement& staged, const TStagedColumns& columns) {
  TStagedRecord record;
  record.id = staged.ColumnText(columns.id);
  record.command = staged.ColumnText(columns.command);
  record.number = staged.ColumnText(columns.number);
  record.cardType = staged.ColumnText(columns.cardType);
  record.descriptive[0] = staged.ColumnText(columns.descriptive[0]);
  record.startDt = staged.ColumnDateTime(columns.startDt);
  record.expiry = staged.ColumnDateTime(columns.expiry);
  record.addValue = staged.ColumnInteger(columns.addValue);
  record.groupName = staged.ColumnText(columns.groupName);
  for (size_t i = 1; i < 14; ++i) record.descriptive[i] = staged.ColumnText(columns.descriptive[i]);
  return record;
}

TStagedRecord ReadStagedRecord(TODBCStatement& staged) {
  return ReadStagedRecord(staged, TStagedColumns(staged));
}

bool IsNextMonth(TDateTime first, TDateTime second) {
  const int m1 = DecodeDateTime(first).month;
  const int m2 = DecodeDateTime(second).month;
  return (m2 - m1 + 12) % 12 == 1;
}

bool MonthlyExpiry(TDateTime now, int32_t addValue, TDateTime& expiry) {
  const TDateParts today = DecodeDateTime(now);
  int year = today.year;
  uint16_t month = static_cast<uint16_t>(addValue);
  if (month < today.month) ++year;
  month = static_cast<uint16_t>(month + 1);
  if (month > 12) {
    month = static_cast<uint16_t>(month % 12);
    ++year;
  }
  TDateTime first = 0;
  if (month == 0 || !TryEncodeDate(year, month, 1, first)) return false;
  expiry = first - 1 + EndOfDay;
  return true;
}

TDateTime DayExpiry(TDateTime now, TDateTime stagedExpiry, bool exists, TDateTime cardExpiry,
                    int32_t addValue) {
  TDateTime base = stagedExpiry;
  if (!(now < stagedExpiry)) base = exists ? cardExpiry : DateOf(now);
  return DateOf(base + addValue) + EndOfDay;
}

TSqlValue NumberValue(const std::string& number) {
  if (number.empty()) return TSqlValue::Null(svNumber);
  if (IsPlainInteger(number)) return TSqlValue::Number(number);
  return TSqlValue::Text(number);
}

bool IsDue(TDateTime now, TDateTime start, bool cardExists) { return now > start || !cardExists; }

TPlanOutcome PlanStagedRecord(const TStagedRecord& staged, TCardLookups& lookups,
                              TDriverKind driverKind, const TClock& clock, TCardPlan& plan,
                              TDbStatus& failure) {
  TSql sql(driverKind);
  // A lookup that failed decides nothing.
  const auto failed = [&](TDbStatus status) {
    if (status.Ran()) return false;
    failure = std::move(status);
    return true;
  };

  const std::string& id = staged.id;
  const std::string command = UpperAscii(staged.command);
  if (command.empty() || (command[0] != 'A' && command[0] != 'C')) return pnSkipped;
  if (!IsPlainInteger(id)) return pnSkipped;  // not a row of ours: nothing to delete it by
  plan.id = id;

  const std::string& number = staged.number;
  const TSqlValue numberValue = NumberValue(number);
  TCardLookups::TCard card;
  if (failed(lookups.Card(numberValue, card))) return pnFailed;
  const bool exists = card.exists;
  int64_t typeId = exists ? card.typeId : -1;
  const std::string typeName = UpperAscii(staged.cardType);

  // Refused records are deleted like applied ones; `refusal` is their one log line.
  std::string refusal;
  bool write = true;
  if (!exists && typeName.empty()) {
    refusal = logtext::kCardTypeMissing + (" for a non-existant card with number of " + number);
    write = false;
  }

  // The flags come from the last card-type lookup, and count only when it found a row.
  TCardLookups::TType type;
  if (write) {
    // With a type name the name lookup decides the flags, found or not: the id lookup only
    // matters without one.
    if (exists && typeName.empty() && failed(lookups.TypeById(typeId, type))) return pnFailed;
    if (!typeName.empty()) {
      if (failed(lookups.TypeByName(typeName, type))) return pnFailed;
      if (type.found) typeId = type.id;
    }
    if (typeId == -1) {
      refusal = logtext::kNoSuchCardType + typeName;
      write = false;
    }
  }
  const bool monthly = type.found && type.monthly;
  const bool debit = type.found && type.debit;
  const bool globalExpiry = type.found && type.globalExpiry;

  if (write) {
    const int32_t addValue = staged.addValue;
    const TDateTime now = clock.Now();

    sql.Clear(false);
    sql.Reserve(24);
    sql.AddInteger("type_id", typeId);
    if (!monthly) sql.AddDateTime("start_dt", staged.startDt);
    sql.AddValue("number", numberValue);

    const std::string& groupName = staged.groupName;
    if (!groupName.empty()) {
      int32_t groupId = 0;
      const TDbStatus group = lookups.Group(groupName, groupId);
      if (failed(group)) return pnFailed;
      if (group.Ok()) {
        sql.AddInteger("group_id", groupId);
      } else {
        plan.lines.push_back(logtext::kWarning + ("Invalid group name for card " + number));
      }
    }

    if (debit && addValue != 0) {
      const int64_t left = (exists ? card.debitLeft : 0) + int64_t{addValue};
      sql.AddInteger("debit_left", left);
    } else if (monthly && !globalExpiry) {
      TDateTime expiry = 0;
      if (!MonthlyExpiry(now, addValue, expiry)) {
        refusal = logtext::kInvalidMonth + std::to_string(addValue) + " for card " + number +
                  ": staged record deleted without a change to the card";
        write = false;
      } else {
        if (!IsNextMonth(exists ? card.expiry : now, expiry)) {
          const TDateParts parts = DecodeDateTime(expiry);
          sql.AddDateTime("start_dt", EncodeDate(parts.year, parts.month, 1));
        }
        sql.AddDateTime("exp_iry", expiry);
      }
    } else {
      sql.AddDateTime("exp_iry", DayExpiry(now, staged.expiry, exists, card.expiry, addValue));
    }
  }

  if (!refusal.empty()) plan.lines.push_back(refusal);
  if (!write) return pnPlanned;

  for (size_t i = 0; i < 14; ++i) {
    const std::string& value = staged.descriptive[i];
    if (!value.empty() || !exists) sql.AddField(DescriptiveColumns[i], value, tuText);
  }
  if (typeName == "INACTIVE") sql.AddInteger("debit_left", 0);
  sql.AddInteger("in_lot", 0);
  plan.write = true;
  plan.insert = !exists;
  plan.fields = std::move(sql);
  plan.number = numberValue;
  return pnPlanned;
}

TBoundSql CardWriteSql(const TCardPlan& plan) {
  if (!plan.insert) {
    TBoundSql where = plan.fields.Bound(" WHERE number = ");
    where += plan.number;
    return plan.fields.UpdateText("UPDATE card", where);
  }
  return plan.fields.InsertText("INSERT INTO card", "Values");
}

}  // namespace fw

// Application of one staged record to the card table, on MainDb.
#include <cctype>
#include <cstdint>
#include <string>

#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_intake.h"
#include "intake/card_plan.h"
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

TStagedRecord ReadStagedRecord(TODBCStatement& staged) {
  TStagedRecord record;
  record.id = staged.FieldAsString("id");
  record.command = staged.FieldAsString("command");
  record.number = staged.FieldAsString("number");
  record.cardType = staged.FieldAsString("card_type");
  record.descriptive[0] = staged.FieldAsString("descr");
  record.startDt = staged.FieldAsDateTime("start_dt");
  record.expiry = staged.FieldAsDateTime("exp_iry");
  record.addValue = staged.FieldAsInteger("add_value");
  record.groupName = staged.FieldAsString("group_name");
  for (size_t i = 1; i < 14; ++i)
    record.descriptive[i] = staged.FieldAsString(DescriptiveColumns[i]);
  return record;
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

std::string NumberLiteral(const TSql& sql, const std::string& number) {
  if (number.empty()) return "null";
  if (IsPlainInteger(number)) return number;
  return sql.QuotedValue(number);
}

bool TStatementLookups::Card(const std::string& number, TCard& card) {
  card = TCard{};
  const std::string lookup = "SELECT * FROM card WHERE number = " + number;
  if (lockingReads_ != nullptr && *lockingReads_) {
    card.exists = work_.Exec(lookup + " FOR UPDATE", euProbe).Ok();
    if (card.exists) return ReadCard(card);
    if (work_.ErrorText().empty()) return true;  // no such card
    if (LostConnection(work_) || work_.TryAgain()) return false;
    *lockingReads_ = false;  // a database without FOR UPDATE (SQLite: the claim locked it all)
  }
  card.exists = work_.Exec(lookup).Ok();
  if (!card.exists) return !LostConnection(work_);
  return ReadCard(card);
}

bool TStatementLookups::ReadCard(TCard& card) {
  // in the table's column order, each once
  card.typeId = work_.FieldAsInteger("type_id");
  card.debitLeft = work_.FieldAsInteger("debit_left");
  card.expiry = work_.FieldAsDateTime("exp_iry");
  return true;
}

namespace {

bool ReadType(TODBCStatement& work, bool found, TCardLookups::TType& type) {
  type = TCardLookups::TType{};
  type.found = found;
  if (!found) return !LostConnection(work);
  type.id = work.FieldAsInteger("id");
  type.monthly = work.FieldAsBoolean("monthly_flg");
  type.debit = work.FieldAsBoolean("debit_flg");
  type.globalExpiry = work.FieldAsBoolean("global_expiry");
  return true;
}

}  // namespace

bool TStatementLookups::TypeById(int64_t id, TType& type) {
  return ReadType(
      work_,
      work_.ExecFmt("SELECT * FROM card_type WHERE id = %lld", static_cast<long long>(id)).Ok(),
      type);
}

bool TStatementLookups::TypeByName(const std::string& name, TType& type) {
  return ReadType(
      work_,
      work_.Exec("SELECT * FROM card_type WHERE Upper(name) = " + sql_.QuotedValue(name)).Ok(),
      type);
}

bool TStatementLookups::Group(const std::string& name, bool& found, int32_t& id) {
  found = work_.Exec("SELECT id FROM card_pool WHERE name = " + sql_.QuotedValue(name)).Ok();
  id = found ? work_.FieldAsInteger("id") : 0;
  return found || !LostConnection(work_);
}

TApplyOutcome TFuturePass::ApplyFutureCard(TODBCStatement& staged) {
  TODBCStatement work(mainDb_);
  return ApplyStagedRecord(ReadStagedRecord(staged), work);
}

// All statements of one record run one after the other on `work`: what a lookup returned is
// read at once, so one statement (and its worker) serves the whole pass.
//
// The record is claimed first: its delete opens the transaction that writes the card, and
// only the one pass whose delete removed the row goes on. Another instance's delete of the
// same row waits for that transaction and then finds nothing, so a record is applied once
// however many services walk the table; the card is read after the claim, locked where the
// database can, so that two records of one card never both add to the same old value.
TApplyOutcome TFuturePass::ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work) {
  const std::string command = UpperAscii(staged.command);
  if (command.empty() || (command[0] != 'A' && command[0] != 'C')) return aoSkipped;
  if (!IsPlainInteger(staged.id)) return aoSkipped;  // not a row of ours: nothing to delete it by

  const auto cut = [&] { return LostConnection(work) || StopRequested(); };
  const auto interrupted = [&] { return StopRequested() ? aoStopped : aoConnectionLost; };
  const std::string& id = staged.id;
  const std::string& number = staged.number;

  TTransaction transaction(work);
  if (!transaction.Began() && cut()) return interrupted();
  const TApplyOutcome claim = Claim(staged, work);
  if (claim != aoDone) return claim;
  // The claim may have waited for a lock while a stop came: nothing of the record is written.
  if (StopRequested()) return aoStopped;

  const TSql sql(mainDb_.DriverKind());
  TStatementLookups lookups(work, sql);
  lookups.LockCards(&lockingReads_);
  TCardPlan plan;
  if (PlanStagedRecord(staged, lookups, plan) == aoConnectionLost) {
    if (cut()) return interrupted();
    // A lock in the way (another instance writes the same card): the record stays, whole.
    transaction.Rollback();
    recordsKept_ = true;
    log_.AddLine("Staged record " + id + " for card " + number +
                 " stays for the next pass: " + work.ErrorText());
    return aoKept;
  }
  for (const std::string& line : plan.lines) log_.AddLine(line);

  if (!plan.write.empty() && !work.Exec(plan.write)) {
    if (cut()) return interrupted();
    transaction.Rollback();
    if (work.TryAgain()) {
      recordsKept_ = true;
      log_.AddLine("Staged record " + id + " for card " + number +
                   " stays for the next pass: " + work.ErrorText());
      return aoKept;
    }
    log_.AddLine(logtext::kSqlErr + plan.write);
    // Some databases refuse every later statement of a transaction once one failed: the
    // record goes in a transaction of its own, claimed again.
    TTransaction again(work);
    if (!again.Began() && cut()) return interrupted();
    const TApplyOutcome reclaimed = Claim(staged, work);
    if (reclaimed != aoDone) return reclaimed;
    if (!again.Commit()) {
      if (again.Lost() || StopRequested()) return interrupted();
      log_.AddLine(logtext::kCannot + ("commit staged record " + id) + " for card " + number +
                   ": " + again.ErrorText());
      return aoKept;
    }
    return aoDone;
  }
  if (!transaction.Commit()) {
    if (transaction.Lost() || StopRequested()) return interrupted();
    log_.AddLine(logtext::kCannot + ("commit staged record " + id) + " for card " + number + ": " +
                 transaction.ErrorText());
    return aoKept;
  }
  return aoDone;
}

TApplyOutcome TFuturePass::Claim(const TStagedRecord& staged, TODBCStatement& work) {
  if (!work.Exec("DELETE FROM futurecard WHERE id = " + staged.id)) {
    if (LostConnection(work) || StopRequested()) {
      return StopRequested() ? aoStopped : aoConnectionLost;
    }
    if (work.TryAgain()) recordsKept_ = true;
    log_.AddLine(logtext::kCannot + ("delete staged record " + staged.id) + " for card " +
                 staged.number + ": " + work.ErrorText());
    return aoKept;
  }
  // -1: the driver cannot say; the delete ran, so the record is ours as before.
  return work.RowsAffected() == 0 ? aoTaken : aoDone;
}

TApplyOutcome TFuturePass::PlanStagedRecord(const TStagedRecord& staged, TCardLookups& lookups,
                                            TCardPlan& plan) {
  TSql sql(mainDb_.DriverKind());

  const std::string& id = staged.id;
  const std::string command = UpperAscii(staged.command);
  if (command.empty() || (command[0] != 'A' && command[0] != 'C')) return aoSkipped;
  if (!IsPlainInteger(id)) return aoSkipped;  // not a row of ours: nothing to delete it by
  plan.id = id;

  const std::string& number = staged.number;
  const std::string numberLiteral = NumberLiteral(sql, number);
  TCardLookups::TCard card;
  if (!lookups.Card(numberLiteral, card)) return aoConnectionLost;
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
    if (exists && typeName.empty() && !lookups.TypeById(typeId, type)) return aoConnectionLost;
    if (!typeName.empty()) {
      if (!lookups.TypeByName(typeName, type)) return aoConnectionLost;
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
    const TDateTime now = clock_.Now();

    sql.Clear(false);
    sql.AddField("type_id", std::to_string(typeId), false);
    if (!monthly) sql.AddDateTime("start_dt", staged.startDt);
    sql.AddField("number", numberLiteral, false);

    const std::string& groupName = staged.groupName;
    if (!groupName.empty()) {
      bool found = false;
      int32_t groupId = 0;
      if (!lookups.Group(groupName, found, groupId)) return aoConnectionLost;
      if (found) {
        sql.AddInteger("group_id", groupId);
      } else {
        plan.lines.push_back(logtext::kWarning + ("Invalid group name for card " + number));
      }
    }

    if (debit && addValue != 0) {
      const int64_t left = (exists ? card.debitLeft : 0) + int64_t{addValue};
      sql.AddField("debit_left", std::to_string(left), false);
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
  if (!write) return aoDone;

  for (size_t i = 0; i < 14; ++i) {
    const std::string& value = staged.descriptive[i];
    if (!value.empty() || !exists) sql.AddField(DescriptiveColumns[i], value, true);
  }
  if (typeName == "INACTIVE") sql.AddInteger("debit_left", 0);
  sql.AddInteger("in_lot", 0);
  if (exists) {
    plan.write = sql.UpdateText("UPDATE card", " WHERE number = " + numberLiteral);
  } else {
    sql.AddField("number", numberLiteral, false);
    plan.write = sql.InsertText("INSERT INTO card", "Values");
    plan.insert = true;
    plan.columns = sql.ColumnListText();
    plan.values = sql.ValuesText();
  }
  return aoDone;
}

}  // namespace fw

// Application of one staged record to the card table, on MainDb.
#include <cctype>
#include <cstdint>
#include <string>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_intake.h"
#include "intake/staging_sql.h"

namespace fw {
namespace {

const TDateTime EndOfDay = 86399999.0 / 86400000.0;  // 23:59:59.999

bool LostConnection(const TODBCStatement& statement) {
  return statement.LostConnection() || statement.Connection().LostConnection();
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The card write and the delete of its staged record commit together, so that a record is
// never applied twice (a debit added twice) when the process or the connection dies between
// them. The rest of MainDb's work stays auto-commit. Rolls back unless committed.
class TMainTransaction {
 public:
  explicit TMainTransaction(TODBCStatement& statement) : statement_(statement) {
    open_ = statement_.Exec("BEGIN");
    failed_ = !open_;
  }
  ~TMainTransaction() {
    if (open_) statement_.Exec("ROLLBACK");
  }
  TMainTransaction(const TMainTransaction&) = delete;
  TMainTransaction& operator=(const TMainTransaction&) = delete;

  bool Failed() const { return failed_; }
  bool Lost() const { return LostConnection(statement_); }
  std::string ErrorText() const { return statement_.ErrorText(); }
  // True when nothing was left to commit.
  bool Commit() {
    if (!open_) return true;
    open_ = false;
    return statement_.Exec("COMMIT");
  }
  void Rollback() {
    if (open_) statement_.Exec("ROLLBACK");
    open_ = false;
  }

 private:
  TODBCStatement& statement_;
  bool open_ = false;
  bool failed_ = false;
};

// A failure that says "try again" rather than "this statement is wrong": a deadlock or a
// serialisation failure (SQLSTATE class 40) or a lock wait that timed out.
bool TransientFailure(const std::string& error) {
  return error.find("State:  40") != std::string::npos ||
         error.find("State:  HYT00") != std::string::npos ||
         error.find("Lock wait timeout") != std::string::npos ||
         error.find("database is locked") != std::string::npos;
}

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

TApplyOutcome TCardIntake::ApplyFutureCard(TODBCStatement& staged) {
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
TApplyOutcome TCardIntake::ApplyStagedRecord(const TStagedRecord& staged, TODBCStatement& work) {
  TSql sql(mainDb_.DriverKind());

  const std::string& id = staged.id;
  const std::string command = UpperCase(staged.command);
  if (command.empty() || (command[0] != 'A' && command[0] != 'C')) return aoSkipped;
  if (!IsPlainInteger(id)) return aoSkipped;  // not a row of ours: nothing to delete it by

  const auto cut = [&](const TODBCStatement& s) { return LostConnection(s) || StopRequested(); };
  const auto interrupted = [&] { return StopRequested() ? aoStopped : aoConnectionLost; };
  const std::string& number = staged.number;

  TMainTransaction transaction(work);
  if (transaction.Failed() && cut(work)) return interrupted();
  const TApplyOutcome claim = Claim(staged, work);
  if (claim != aoDone) return claim;

  const std::string numberLiteral = NumberLiteral(sql, number);
  const std::string cardLookup = "SELECT * FROM card WHERE number = " + numberLiteral;
  bool exists = false;
  if (lockingReads_) {
    exists = work.Exec(cardLookup + " FOR UPDATE");
    if (!exists && cut(work)) return interrupted();
    const std::string error = exists ? std::string() : work.ErrorText();
    if (TransientFailure(error)) {
      transaction.Rollback();
      recordsKept_ = true;
      log_.AddLine("Staged record " + id + " for card " + number +
                   " stays for the next pass: " + error);
      return aoKept;
    }
    // A database without FOR UPDATE (SQLite, whose one writer the claim already is).
    if (!error.empty()) lockingReads_ = false;
  }
  if (!lockingReads_) {
    exists = work.Exec(cardLookup);
    if (!exists && cut(work)) return interrupted();
  }
  int64_t typeId = -1;
  int32_t cardDebit = 0;
  TDateTime cardExpiry = 0;
  if (exists) {  // in the table's column order, each once
    typeId = work.FieldAsInteger("type_id");
    cardDebit = work.FieldAsInteger("debit_left");
    cardExpiry = work.FieldAsDateTime("exp_iry");
  }
  const std::string typeName = UpperCase(staged.cardType);

  // Refused records are deleted like applied ones; `refusal` is their one log line.
  std::string refusal;
  bool write = true;
  if (!exists && typeName.empty()) {
    refusal = "A card type must be supplied for a non-existant card with number of " + number;
    write = false;
  }

  // The flags come from the last card-type lookup, and count only when it found a row.
  bool monthly = false, debit = false, globalExpiry = false;
  if (write) {
    bool haveType = false;
    // With a type name the name lookup decides the flags, found or not: the id lookup only
    // matters without one.
    if (exists && typeName.empty()) {
      haveType =
          work.ExecFmt("SELECT * FROM card_type WHERE id = %lld", static_cast<long long>(typeId));
      if (!haveType && cut(work)) return interrupted();
    }
    if (!typeName.empty()) {
      haveType =
          work.Exec("SELECT * FROM card_type WHERE Upper(name) = " + sql.QuotedValue(typeName));
      if (haveType) {
        typeId = work.FieldAsInteger("id");
      } else if (cut(work)) {
        return interrupted();
      }
    }
    if (haveType) {
      monthly = work.FieldAsBoolean("monthly_flg");
      debit = work.FieldAsBoolean("debit_flg");
      globalExpiry = work.FieldAsBoolean("global_expiry");
    }
    if (typeId == -1) {
      refusal = "Non-existant card type " + typeName;
      write = false;
    }
  }

  if (write) {
    const int32_t addValue = staged.addValue;
    const TDateTime now = clock_.Now();

    sql.Clear(false);
    sql.AddField("type_id", std::to_string(typeId), false);
    if (!monthly) sql.AddDateTime("start_dt", staged.startDt);
    sql.AddField("number", numberLiteral, false);

    const std::string& groupName = staged.groupName;
    if (!groupName.empty()) {
      if (work.Exec("SELECT id FROM card_pool WHERE name = " + sql.QuotedValue(groupName))) {
        sql.AddInteger("group_id", work.FieldAsInteger("id"));
      } else if (cut(work)) {
        return interrupted();
      } else {
        log_.AddLine("Warning! Invalid group name for card " + number);
      }
    }

    if (debit && addValue != 0) {
      const int64_t left = (exists ? cardDebit : 0) + int64_t{addValue};
      sql.AddField("debit_left", std::to_string(left), false);
    } else if (monthly && !globalExpiry) {
      TDateTime expiry = 0;
      if (!MonthlyExpiry(now, addValue, expiry)) {
        refusal = "Invalid month " + std::to_string(addValue) + " for card " + number +
                  ": staged record deleted without a change to the card";
        write = false;
      } else {
        if (!IsNextMonth(exists ? cardExpiry : now, expiry)) {
          const TDateParts parts = DecodeDateTime(expiry);
          sql.AddDateTime("start_dt", EncodeDate(parts.year, parts.month, 1));
        }
        sql.AddDateTime("exp_iry", expiry);
      }
    } else {
      sql.AddDateTime("exp_iry", DayExpiry(now, staged.expiry, exists, cardExpiry, addValue));
    }
  }

  if (!refusal.empty()) log_.AddLine(refusal);

  if (write) {
    const TWriteResult written =
        WriteCard(number, exists, sql, staged, typeName == "INACTIVE", work);
    if (written.lost || (!written.ran && StopRequested())) return interrupted();
    if (!written.ran) {
      transaction.Rollback();
      if (TransientFailure(work.ErrorText())) {
        // Another writer of the same card (a second instance) was in the way: the record
        // stays, whole, for the next pass.
        recordsKept_ = true;
        log_.AddLine("Staged record " + id + " for card " + number +
                     " stays for the next pass: " + work.ErrorText());
        return aoKept;
      }
      // Some databases refuse every later statement of a transaction once one failed: the
      // record goes in a transaction of its own, claimed again.
      TMainTransaction again(work);
      if (again.Failed() && cut(work)) return interrupted();
      const TApplyOutcome reclaimed = Claim(staged, work);
      if (reclaimed != aoDone) return reclaimed;
      if (!again.Commit()) {
        if (again.Lost() || StopRequested()) return interrupted();
        log_.AddLine("Cannot commit staged record " + id + " for card " + number + ": " +
                     again.ErrorText());
        return aoKept;
      }
      return aoDone;
    }
  }
  if (!transaction.Commit()) {
    if (transaction.Lost() || StopRequested()) return interrupted();
    log_.AddLine("Cannot commit staged record " + id + " for card " + number + ": " +
                 transaction.ErrorText());
    return aoKept;
  }
  return aoDone;
}

TApplyOutcome TCardIntake::Claim(const TStagedRecord& staged, TODBCStatement& work) {
  if (!work.Exec("DELETE FROM futurecard WHERE id = " + staged.id)) {
    if (LostConnection(work) || StopRequested()) {
      return StopRequested() ? aoStopped : aoConnectionLost;
    }
    if (TransientFailure(work.ErrorText())) recordsKept_ = true;
    log_.AddLine("Cannot delete staged record " + staged.id + " for card " + staged.number +
                 ": " + work.ErrorText());
    return aoKept;
  }
  // -1: the driver cannot say; the delete ran, so the record is ours as before.
  return work.RowCount() == 0 ? aoTaken : aoDone;
}

TCardIntake::TWriteResult TCardIntake::WriteCard(const std::string& number, bool exists, TSql& sql,
                                                 const TStagedRecord& staged, bool inactive,
                                                 TODBCStatement& writer) {
  for (size_t i = 0; i < 14; ++i) {
    const std::string& value = staged.descriptive[i];
    if (!value.empty() || !exists) sql.AddField(DescriptiveColumns[i], value, true);
  }
  if (inactive) sql.AddInteger("debit_left", 0);
  sql.AddInteger("in_lot", 0);

  const std::string numberLiteral = NumberLiteral(sql, number);
  std::string text;
  if (exists) {
    text = sql.UpdateText("UPDATE card", " WHERE number = " + numberLiteral);
  } else {
    sql.AddField("number", numberLiteral, false);
    text = sql.InsertText("INSERT INTO card", "Values");
  }
  TWriteResult result;
  result.ran = writer.Exec(text);
  if (!result.ran) {
    result.lost = LostConnection(writer);
    if (!result.lost && !StopRequested()) log_.AddLine("SQL err: " + text);
  }
  return result;
}

}  // namespace fw

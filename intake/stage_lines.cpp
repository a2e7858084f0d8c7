// Staging the lines of a card file: line by line, or card rows in batches of many rows, a
// failed batch halved until its bad rows stand alone.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/bulk_insert.h"
#include "db/sql.h"
#include "db/statement.h"
#include "db/transaction.h"
#include "intake/card_stager.h"
#include "intake/card_sql.h"
#include "intake/stage_batches.h"
#include "intake/staging_sql.h"
#include "log/log_texts.h"

namespace fw {
namespace {

std::string ErrorLine(const std::string& error, const TBoundSql& sql) {
  return logtext::kStatementError + error + "\" in SQL: " + sql.Rendered();
}

// The statement of a card row refused for its NUMBER, as the log shows it: the value quoted,
// so that the line shows what was refused without it ever being SQL.
TBoundSql RefusedCardSql(std::vector<TColumnEntry> entries, TSql& sql) {
  for (TColumnEntry& e : entries) {
    if (e.kind == vkUnquoted) e.kind = vkQuoted;
  }
  std::string ignored;
  FillCardRow(entries, sql, ignored);
  return CardInsertSql(sql);
}
}  // namespace

// Card rows that follow one another with the same column list go to the database as one
// INSERT of as many rows as the driver takes well (BoundInsertRows), and about this many
// bytes: one round trip instead of many.
constexpr size_t StageBatchBytes = 512 * 1024;
// The statements of single lines, as staging line by line runs them and as a failed batch
// ends up running its bad rows, so that both write the same error lines.
class TCardStager::TLines {
 public:
  TLines(TCardStager& stager, TODBCStatement& statement, TTransaction& transaction,
         TSql& sql)
      : stager_(stager),
        statement_(statement),
        transaction_(transaction),
        sql_(sql),
        // PostgreSQL refuses every statement after a failed one until the transaction ends
        // (psqlODBC guards each statement itself only in its default mode). A savepoint around
        // each line keeps the rest of the file running there, so that every bad line gets its
        // own error line.
        lineSavepoints_(statement.Connection().DriverKind() == dkPostgres),
        inserter_(statement.Connection()) {}

  // Each false when staging must end: the connection went away, a stop cancelled a
  // statement, or a statement failed for a reason not the file's (`result` says which). A
  // statement refused as bad data is logged and counted, and staging goes on.
  // `text`: the line, for the report.
  bool Group(size_t line, const std::string& text, const std::vector<TColumnEntry>& entries) {
    lineText_ = &text;
    std::optional<TSavepoint> savepoint;
    if (!BeginLine(savepoint)) return false;
    const int before = result.errors;
    FillGroupRow(entries, sql_);
    const TBoundSql lookup = GroupLookupSql(sql_, entries[0].text);
    const TDbStatus found = statement_.Exec(lookup);
    if (found.Failed()) {
      // Never "no such group": a lookup that failed would stage the group twice.
      return Failed(line, lookup, found) && EndLine(savepoint, true);
    }
    const TBoundSql change =
        found.Ok() ? GroupUpdateSql(sql_, statement_.FieldAsInteger("id")) : GroupInsertSql(sql_);
    return Run(line, change) && EndLine(savepoint, result.errors > before);
  }
  // Row `row` of `rows`, the card row of line `line`.
  bool Card(size_t line, const std::string& text, const TBoundRows& rows, size_t row) {
    lineText_ = &text;
    std::optional<TSavepoint> savepoint;
    if (!BeginLine(savepoint)) return false;
    const int before = result.errors;
    const TDbStatus status = Insert(rows, row, row + 1);
    if (status.Failed() &&
        !Failed(line, CardRowsSql(rows, row, row + 1, sql_.DriverKind()), status)) {
      return false;
    }
    return EndLine(savepoint, result.errors > before);
  }
  // A card row whose NUMBER can never be part of a statement.
  bool Refused(size_t line, const std::string& text, const std::vector<TColumnEntry>& entries,
               const std::string& error) {
    lineText_ = &text;
    Bad(line, error, RefusedCardSql(entries, sql_));
    return true;
  }
  // After a failure that ends staging: what `status` of `what` (a statement) says.
  bool End(const TDbStatus& status, const TBoundSql& what) {
    if (status.Code() == dcLost || status.Code() == dcStopped || LostConnection(statement_) ||
        stager_.StopRequested()) {
      result.result = stager_.StopRequested() ? lrStopped : lrConnectionLost;
      result.lostText = status.Text();
    } else {
      result.result = lrTryAgain;
      result.lostText = FailureText(status, what);
    }
    return false;
  }
  // After a failed statement of a line: false when staging must end; a refusal (bad data) is
  // the line's, and staging goes on.
  bool Failed(size_t line, const TBoundSql& text, const TDbStatus& status) {
    if (status.Code() != dcBadData || LostConnection(statement_) || stager_.StopRequested()) {
      return End(status, text);
    }
    Bad(line, status.Text(), text);
    return true;
  }
  // The database ended the transaction by itself after a failure (psqlODBC does when the
  // failed statement was the transaction's first access, savepoint and all): what is left of
  // it refuses every statement, so a fresh one takes the rest of the file under the same
  // guard.
  bool Renew() {
    const TDbStatus renewed = transaction_.Renew();
    ended = true;
    return renewed.Ok() || End(renewed, "BEGIN");
  }

  TDbStatus Insert(const TBoundRows& rows, size_t from, size_t to) {
    return inserter_.Insert("futurecard", rows, from, to);
  }

  TStageResult result;
  bool ended = false;

 private:
  bool BeginLine(std::optional<TSavepoint>& savepoint) {
    if (!lineSavepoints_) return true;
    savepoint.emplace(transaction_, "fw_line");
    return savepoint->Began() || End(savepoint->Status(), "SAVEPOINT fw_line");
  }
  bool EndLine(std::optional<TSavepoint>& savepoint, bool lineFailed) {
    if (!savepoint) return true;
    if (!lineFailed) {
      const TDbStatus released = savepoint->Release();
      return released.Ok() || End(released, "RELEASE SAVEPOINT fw_line");
    }
    const TDbStatus undone = savepoint->RollBack();
    if (undone.Ok()) return true;
    if (undone.Code() == dcLost || LostConnection(statement_)) return End(undone, "ROLLBACK");
    return Renew();
  }
  bool Run(size_t line, const TBoundSql& text) {
    const TDbStatus status = statement_.Exec(text);
    return status.Ok() || Failed(line, text, status);
  }
  void Bad(size_t line, const std::string& error, const TBoundSql& text) {
    ++result.errors;
    stager_.log_.AddLine(ErrorLine(error, text));
    if (result.bad.size() < kReportedLines) result.bad.push_back({line, *lineText_, error});
  }

  TCardStager& stager_;
  TODBCStatement& statement_;
  TTransaction& transaction_;
  const std::string* lineText_ = nullptr;  // of the line being staged
  TSql& sql_;
  bool lineSavepoints_;
  TBoundInserter inserter_;
};

TCardStager::TStageResult TCardStager::StageLines(TLineSource& source,
                                                  TODBCStatement& statement,
                                                  TTransaction& transaction) {
  std::vector<std::string> names, values;
  std::vector<TBoundType> types;
  TBoundRows row;
  TSql sql(stagingDb_.DriverKind());
  TCardLines lines(source, clock_);
  TLines run(*this, statement, transaction, sql);
  while (lines.Next()) {
    if (StopRequested()) {
      run.result.result = lrStopped;
      break;
    }
    bool going = true;
    if (lines.Kind() == lkGroup) {
      going = run.Group(lines.Number(), lines.Text(), lines.Entries());
    } else if (lines.Kind() == lkCard) {
      std::string error;
      if (CardRowValues(lines.Entries(), names, types, values, error)) {
        row.Reset(names, types);
        row.AddRow(std::move(values));
        going = run.Card(lines.Number(), lines.Text(), row, 0);
      } else {
        going = run.Refused(lines.Number(), lines.Text(), lines.Entries(), error);
      }
    }
    if (!going) break;
  }
  return std::move(run.result);
}

// The same statements as StageLines, card rows gathered into INSERTs of many rows. Group rows
// end the pending batch first, so their look-ups see every row before them. Each batch runs
// inside a savepoint; one that fails is undone to it and split in halves until its bad rows
// stand alone, and those run as the single-row statements of StageLines and log the same
// lines, in file order. lrFailed, nothing logged, when the database has no savepoints: the
// caller rolls back and goes line by line.
TCardStager::TStageResult TCardStager::StageLinesBatched(TLineSource& lines,
                                                         TODBCStatement& statement,
                                                         TTransaction& transaction) {
  TSql sql(stagingDb_.DriverKind());
  TLines run(*this, statement, transaction, sql);
  bool probed = false;  // savepoints tried once, before the first batch needs one

  // Rows [from, to) of a batch; false when staging must end here.
  const std::function<bool(const TStageItem&, size_t, size_t)> stage = [&](const TStageItem& item,
                                                                           size_t from, size_t to) {
    if (to - from == 1) return run.Card(item.lines[from], item.texts[from], item.rows, from);
    TSavepoint savepoint(transaction, "fw_batch");
    if (!savepoint.Began()) return run.End(savepoint.Status(), "SAVEPOINT fw_batch");
    const TDbStatus status = run.Insert(item.rows, from, to);
    if (status.Ok()) {
      const TDbStatus released = savepoint.Release();
      return released.Ok() || run.End(released, "RELEASE SAVEPOINT fw_batch");
    }
    // Only a refusal is split: its bad rows are the file's. Anything else ends the staging.
    if (status.Code() != dcBadData) {
      return run.End(status, CardRowsSql(item.rows, from, to, stagingDb_.DriverKind()));
    }
    const TDbStatus undone = savepoint.RollBack();
    if (!undone.Ok()) {
      if (undone.Code() == dcLost || LostConnection(statement)) {
        return run.End(undone, "ROLLBACK TO SAVEPOINT fw_batch");
      }
      if (!run.Renew()) return false;
    }
    const size_t middle = from + (to - from) / 2;
    return stage(item, from, middle) && stage(item, middle, to);
  };

  TStageBatches batches(lines, stagingDb_.DriverKind(), clock_, StageBatchBytes);
  for (;;) {
    if (StopRequested()) {  // between batches
      run.result.result = lrStopped;
      break;
    }
    const TStageItem item = batches.Next();
    if (item.kind == TStageItem::ikEnd) break;
    bool going = true;
    if (item.kind == TStageItem::ikGroup) {
      going = run.Group(item.lines[0], item.texts[0], item.entries);
    } else if (item.kind == TStageItem::ikRefused) {
      going = run.Refused(item.lines[0], item.texts[0], item.entries, item.error);
    } else {
      if (!probed) {
        probed = true;
        TSavepoint probe(transaction, "fw_batch");
        TDbStatus probed = probe.Status();
        if (probed.Ok()) probed = probe.Release();
        if (probed.Code() == dcBadData) {
          // A database without savepoints goes line by line from the start, as it did before.
          run.result.result = lrFailed;
          return std::move(run.result);
        }
        if (probed.Failed()) {
          run.End(probed, "SAVEPOINT fw_batch");
          return std::move(run.result);
        }
      }
      going = stage(item, 0, item.rows.Rows());
    }
    if (!going) break;
  }
  // Rows before the failed batch may be gone with the transaction the database ended; a bad
  // line rejects the file anyway, but a file without one must not be committed in part.
  if (run.ended && run.result.result == lrDone && run.result.errors == 0) {
    run.result.result = lrTryAgain;
    run.result.lostText = "the database ended the transaction after a failed batch";
  }
  return std::move(run.result);
}

}  // namespace fw

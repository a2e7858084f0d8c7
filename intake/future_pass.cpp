// The future-card pass: walks futurecard in id order on MainDb and applies what is due.
#include <exception>

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_intake.h"

namespace fw {
namespace {

bool LostConnection(const TODBCStatement& statement) {
  return statement.LostConnection() || statement.Connection().LostConnection();
}

}  // namespace

TPassOutcome TCardIntake::ProcessFutureCards() {
  if (!mainDb_.Connected()) return poConnectionLost;
  try {
    TODBCStatement cursor(mainDb_);
    TODBCStatement work(mainDb_);  // the existence check and every statement of a record
    const TSql sql(mainDb_.DriverKind());
    if (!cursor.Exec("SELECT * FROM futurecard ORDER BY id")) {
      return LostConnection(cursor) ? poConnectionLost : poDone;
    }
    do {
      const TStagedRecord staged = ReadStagedRecord(cursor);
      bool apply = clock_.Now() > staged.startDt;
      if (!apply) {
        const std::string query =
            "SELECT number FROM card WHERE number = " + NumberLiteral(sql, staged.number);
        if (!work.Exec(query)) {
          if (LostConnection(work)) return poConnectionLost;
          apply = true;  // no card yet: a new card takes effect at once
        }
      }
      if (apply && ApplyStagedRecord(staged, work) == aoConnectionLost) return poConnectionLost;
    } while (cursor.Skip(skNext, 1));
    return LostConnection(cursor) ? poConnectionLost : poDone;
  } catch (const std::exception& e) {
    log_.AddLine(std::string("Future-card pass stopped: ") + e.what());
    return poDone;
  }
}

}  // namespace fw

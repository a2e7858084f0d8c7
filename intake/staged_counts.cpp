#include "intake/staged_counts.h"

#include "db/sql.h"
#include "db/statement.h"
#include "intake/card_sql.h"

namespace fw {
namespace {

long long Count(TODBC& db, const TBoundSql& query, std::string* earliest = nullptr) {
  TODBCStatement st(db, caReadOnly);
  if (!st.Exec(query)) return -1;
  const long long n = std::stoll("0" + st.FieldAsString("n"));
  // As text: SQLite types an aggregate of dates as text, which FieldAsDateTime does not read.
  if (earliest != nullptr && n > 0) *earliest = st.FieldAsString("first").substr(0, 19);
  return n;
}

}  // namespace

bool CountStaged(TODBC& db, TDateTime now, TStagedCounts& counts) {
  counts = {};
  const long long all = Count(db, "SELECT COUNT(*) AS n FROM futurecard");
  TBoundSql waitingSql("SELECT COUNT(*) AS n, MIN(f.start_dt) AS first FROM futurecard f WHERE ");
  waitingSql += WaitingCondition(now);
  const long long waiting = Count(db, waitingSql, &counts.earliest);
  if (all < 0 || waiting < 0) return false;
  counts.waiting = waiting;
  counts.due = all - waiting;
  return true;
}

}  // namespace fw

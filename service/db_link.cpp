#include "service/db_link.h"

#include "config/connect.h"
#include "intake/ledger_table.h"
#include "log/log_texts.h"
#include "platform/strings.h"

namespace fw {

TDbLink::TDbLink(TMessLog& log, const TConnParams& params, const TClock& clock)
    : log_(log), params_(params), clock_(clock) {}

TDbLink::~TDbLink() {
  Close();
}

bool TDbLink::Open() {
  main_ = std::make_unique<TODBC>();
  if (!Connect(*main_, params_, cmAutoCommit)) return false;
  staging_ = std::make_unique<TODBC>();
  if (!Reconnect(*staging_, cmManualCommit)) NoteUnreachable(staging_->LastError());
  return true;
}

void TDbLink::Close() {
  staging_.reset();
  main_.reset();
}

bool TDbLink::Reconnect(TODBC& db, TCommitMode mode) {
  if (db.Connected() && !db.LostConnection() && reachable_) return true;
  db.Disconnect();
  return Connect(db, params_, mode);
}

// After a loss both connections are made afresh, also the one that has not failed yet: it
// went to the same server and is as dead, only not yet used.
bool TDbLink::EnsureConnected() {
  const bool renewing = !reachable_ || !main_->Connected() || main_->LostConnection() ||
                        !staging_->Connected() || staging_->LostConnection();
  const bool main = Reconnect(*main_, cmAutoCommit);
  const bool staging = main && Reconnect(*staging_, cmManualCommit);
  if (!main || !staging) {
    NoteUnreachable(!main ? main_->LastError() : staging_->LastError());
    return false;
  }
  if (!reachable_) {
    reachable_ = true;
    // The status line stops saying "unreachable" at once, not after the tick.
    if (onReachability_) onReachability_();
    log_.AddLine("Database reachable again; staging card files resumes");
  }
  if (renewing) EnsureLedger();
  return true;
}

void TDbLink::EnsureLedger() {
  if (!ledger_) return;
  const TLedgerTable table = EnsureLedgerTable(*staging_);
  if (table.state == lsUnknown) return;  // asked again at the next connect
  ledger_->SetPresent(table.Present());
  if (table.state == lsMissing && ledgerWarned_) return;
  const std::string line = LedgerTableLine(table);
  if (!line.empty()) log_.AddLine(line);
  ledgerWarned_ = ledgerWarned_ || table.state == lsMissing;
}

void TDbLink::NoteUnreachable(const std::string& detail) {
  if (!reachable_) return;
  reachable_ = false;
  unreachableSince_ = clock_.Now();
  if (onReachability_) onReachability_();
  std::string line = std::string(logtext::kDatabaseUnreachable) +
                     "; card files stay in the drop folder until it is back";
  if (!detail.empty()) line += ": " + OneLine(detail);
  log_.AddLine(line);
}

}  // namespace fw

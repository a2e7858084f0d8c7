// TDbLink: the service's two connections to the card database and whether it reaches it. The
// main connection commits every statement (settings, the pass, the ledger); the staging one
// commits only what a card file's unit commits. After a loss both are made afresh, and the log
// says once that the database went and once that it came back.
//
// Threads: Open runs on the service thread before the ticks start; everything else in a tick,
// on the main thread, which then owns both connections. Close on the service thread once the
// ticks have stopped.
// Ownership: the link owns both TODBC objects (what uses them must not outlive Close); the
// log, the settings and the clock are the caller's and outlive the link.
// Failures: a connection that cannot be made leaves the link unreachable (Reachable() false,
// the line written once) and both connections are tried again at the next EnsureConnected.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "config/conn_params.h"
#include "db/odbc.h"
#include "intake/card_ledger.h"
#include "log/messlog.h"
#include "platform/datetime.h"

namespace fw {

class TDbLink {
 public:
  TDbLink(TMessLog& log, const TConnParams& params, const TClock& clock);
  ~TDbLink();
  TDbLink(const TDbLink&) = delete;
  TDbLink& operator=(const TDbLink&) = delete;

  // The main connection, then the staging one. False when the main one cannot be made: the
  // service then stops; a staging connection that cannot be made only leaves it unreachable.
  bool Open();
  // Frees both connections (what a unit left open is rolled back).
  void Close();

  // Intake's ledger, told at every connect whether its table is there; null: none yet.
  void SetLedger(TCardLedger* ledger) { ledger_ = ledger; }
  // The card_file ledger made where it is missing, its presence told to the ledger; the
  // warning that it cannot be made is written once a start. EnsureConnected calls it at every
  // connect; the service once at start.
  void EnsureLedger();
  // Called when Reachable() changes, to show it in the status at once.
  void SetOnReachability(std::function<void()> hook) { onReachability_ = std::move(hook); }

  // Both connections usable, reconnecting any that was lost or never made; false leaves the
  // link unreachable.
  bool EnsureConnected();
  // The database went away (`detail`: why, when known); said once until it is back.
  void NoteUnreachable(const std::string& detail);
  bool Reachable() const { return reachable_; }
  // When it went away; 0 while reachable.
  TDateTime UnreachableSince() const { return reachable_ ? 0 : unreachableSince_; }

  TODBC& Main() { return *main_; }
  TODBC& Staging() { return *staging_; }

 private:
  bool Reconnect(TODBC& db, TCommitMode mode);

  TMessLog& log_;
  const TConnParams& params_;
  const TClock& clock_;
  std::unique_ptr<TODBC> main_;
  std::unique_ptr<TODBC> staging_;
  TCardLedger* ledger_ = nullptr;
  std::function<void()> onReachability_;
  bool reachable_ = true;
  TDateTime unreachableSince_ = 0;
  bool ledgerWarned_ = false;
};

}  // namespace fw

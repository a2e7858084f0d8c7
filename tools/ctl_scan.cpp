// fenwoldctl scan: one scan of the drop folder, as a timer tick runs it (with the future-card
// pass when it found files).
#include <cstdio>

#include "intake/card_intake.h"
#include "intake/ledger_table.h"
#include "platform/console.h"
#include "tools/ctl_command.h"
#include "tools/ctl_session.h"

namespace fw {
namespace {

int Scan(const std::vector<std::string>& args) {
  if (!args.empty()) {
    PrintErr("usage: fenwoldctl scan\n");
    return 2;
  }
  TCtlSession session;
  if (!session.Open("scan", true)) return 1;
  TCardIntake intake(*session.log, *session.mainDb, *session.stagingDb);
  intake.Encoding = session.encoding;
  intake.SetSettleMs(session.settleMs);
  const TLedgerTable ledger = EnsureLedgerTable(*session.stagingDb);
  if (ledger.state != lsUnknown) intake.Ledger().SetPresent(ledger.Present());
  if (const std::string line = LedgerTableLine(ledger); !line.empty()) {
    session.log->AddLine(line);
    if (ledger.state == lsMissing) PrintErr("fenwoldctl scan: %s\n", line.c_str());
  }
  const bool ok = intake.ScanCardFiles();
  if (intake.Folders.drop.empty()) {
    Print("settings name no drop folder (audits_dir): nothing scanned\n");
  } else {
    Print("scanned %s; see %s\n", intake.Folders.drop.c_str(),
          session.log->CurrentFileName().c_str());
  }
  if (!ok) PrintErr("fenwoldctl scan: the database connection was lost\n");
  return ok ? 0 : 1;
}

const TCtlCommand command("scan", "scan",
                          "stage the card files of the drop folder now, as a timer tick does",
                          Scan);

}  // namespace
}  // namespace fw

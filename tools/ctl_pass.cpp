// fenwoldctl pass: one future-card pass now.
#include <cstdio>

#include "intake/card_intake.h"
#include "platform/console.h"
#include "tools/ctl_command.h"
#include "tools/ctl_session.h"

namespace fw {
namespace {

int Pass(const std::vector<std::string>& args) {
  if (!args.empty()) {
    PrintErr("usage: fenwoldctl pass\n");
    return 2;
  }
  TCtlSession session;
  if (!session.Open("pass", false)) return 1;
  // The pass never touches the staging connection.
  TCardIntake intake(*session.log, *session.mainDb, *session.mainDb);
  if (intake.ProcessFutureCards() == poConnectionLost) {
    PrintErr("fenwoldctl pass: the database connection was lost\n");
    return 1;
  }
  Print("future-card pass done; see %s\n", session.log->CurrentFileName().c_str());
  return 0;
}

const TCtlCommand command("pass", "pass", "apply the staged card records that are due, now", Pass);

}  // namespace
}  // namespace fw

// fenwoldctl requeue FILE... | --all: corrected card files from the error folder back into the
// drop folder, under a name that nothing waiting there has, each moved whole by one rename
// (or a copy that appears complete) while it is held as the service holds a card file, so that
// one still being written stays where it is. A file the ledger knows as staged stays too:
// staging it again under another name would stage its records twice.
#include <cstdio>

#include "intake/card_ledger.h"
#include "intake/reject_report.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/folder.h"
#include "tools/ctl_command.h"
#include "tools/ctl_session.h"

namespace fw {
namespace {

// "cards.csv", then "cards-2.csv", "cards-3.csv", ...
std::string Candidate(const std::string& name, int n) {
  if (n == 1) return name;
  const std::string ext = ExtractFileExt(name);
  return name.substr(0, name.size() - ext.size()) + "-" + std::to_string(n) + ext;
}

// Empty when it was put back; otherwise why not.
std::string Requeue(TCtlSession& session, const TCardFolders& folders, const std::string& name,
                    std::string& target) {
  const std::string path = JoinPath(folders.errors, name);
  THeldFile file;
  const THoldResult hold = file.Hold(path);
  if (hold == hrGone) return "not in the error folder";
  if (hold == hrBusy) return "held by another program (still being written?) or read-only";
  std::string bytes;
  if (!file.ReadAll(bytes)) return "cannot be read";
  TCardLedger ledger(*session.mainDb, SystemClock());
  switch (ledger.LookUp({name, file.Stamp(), ContentHash(bytes)})) {
    case TCardLedger::laStaged:
      return "the card_file ledger knows it as staged: putting it back would stage its records "
             "twice";
    case TCardLedger::laLost:
      return "the database connection was lost";
    case TCardLedger::laFailed:
      return "the card_file ledger cannot be read: putting it back might stage its records twice";
    case TCardLedger::laAbsent:
    case TCardLedger::laNotStaged:
      break;
  }
  for (int n = 1; n < 1000; ++n) {
    target = JoinPath(folders.drop, Candidate(name, n));
    switch (file.MoveToNewName(target)) {
      case THeldFile::nnMoved:
        DeleteFileAt(JoinPath(folders.errors, RejectReportName(name)));
        return {};
      case THeldFile::nnTaken:
        continue;
      case THeldFile::nnFailed:
        return "cannot be moved to " + folders.drop;
    }
  }
  return "every name for it is taken in the drop folder";
}

int RunRequeue(const std::vector<std::string>& args) {
  const bool all = args.size() == 1 && args[0] == "--all";
  if (args.empty() || (!all && args.size() == 1 && args[0].rfind("--", 0) == 0)) {
    PrintErr("usage: fenwoldctl requeue FILE... | --all\n");
    return 2;
  }
  TCtlSession session;
  if (!session.Open("requeue", false)) return 1;
  TCardFolders folders;
  std::string error;
  if (!ReadCardFolders(*session.mainDb, folders, error)) {
    PrintErr("fenwoldctl requeue: cannot read settings: %s\n", error.c_str());
    return 1;
  }
  if (folders.drop.empty() || folders.errors.empty()) {
    PrintErr("fenwoldctl requeue: settings name no drop or no error folder\n");
    return 1;
  }
  std::vector<std::string> names;
  if (all) {
    names = ListCardFiles(folders.errors);
  } else {
    for (const std::string& arg : args) names.push_back(ExtractFileName(arg));
  }
  int refused = 0;
  for (const std::string& name : names) {
    std::string target;
    const std::string why = Requeue(session, folders, name, target);
    if (why.empty()) {
      Print("requeued %s as %s\n", name.c_str(), target.c_str());
      session.log->AddLine("Requeued " + JoinPath(folders.errors, name) + " as " + target +
                           " (fenwoldctl)");
    } else {
      ++refused;
      Print("refused %s: %s\n", name.c_str(), why.c_str());
    }
  }
  if (names.empty()) Print("no card files in %s\n", folders.errors.c_str());
  return refused > 0 ? 1 : 0;
}

const TCtlCommand kRequeue("requeue", "requeue FILE... | --all",
                           "put corrected card files from the error folder back into the drop "
                           "folder; exit 1 when any was refused",
                           RunRequeue);

}  // namespace
}  // namespace fw

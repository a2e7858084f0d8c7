// fenwoldctl folders: the three card folders of the settings table; with --write-unit, the
// drop-in that makes them writable inside the service's sandbox.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "config/conn_params.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/service_unit.h"
#include "platform/strings.h"
#include "tools/ctl_command.h"
#include "tools/ctl_session.h"

namespace fw {
namespace {

// A SQLite card database outside the service's state folder needs its folder writable too
// (journal and WAL files are created beside it).
std::string SqliteFolder(const TConnParams& p) {
  std::string driver;
  driver += LowerAscii(p.ODBCDriver);
  if (driver.find("sqlite") == std::string::npos || p.Database.empty() || p.Database[0] != '/') {
    return {};
  }
  const std::string folder = ExtractFilePath(p.Database);
  return folder.rfind("/var/lib/fenwold/", 0) == 0 ? std::string() : folder;
}

bool WriteAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!(out << text) || !(out.flush())) return false;
  }
  return RenameFileAt(temporary, path);
}

int Folders(const std::vector<std::string>& args) {
  const bool write = args.size() == 1 && args[0] == "--write-unit";
  if (!args.empty() && !write) {
    PrintErr("usage: fenwoldctl folders [--write-unit]\n");
    return 2;
  }
  TODBC db;
  std::string error;
  TCardFolders f;
  if (!ConnectLikeService(db, error) || !ReadCardFolders(db, f, error)) {
    PrintErr("fenwoldctl folders: %s\n", error.c_str());
    return 1;
  }
  Print("audits_dir     %s\ndtlfiles_dir   %s\ndtlerrors_dir  %s\n", f.drop.c_str(),
        f.files.c_str(), f.errors.c_str());
  if (!write) return 0;
  if (!UnitsSupported()) {
    PrintErr("fenwoldctl folders: no systemd units on this system\n");
    return 1;
  }
  std::vector<std::string> paths = {f.drop, f.files, f.errors};
  const TConnParams params;
  if (const std::string db = SqliteFolder(params); !db.empty()) paths.push_back(db);
  // The metrics file is rewritten through a temporary file beside it: its folder, not the file.
  if (!params.MetricsFile.empty()) paths.push_back(ExtractFilePath(params.MetricsFile));
  const std::string path = FoldersDropInPath(UnitFolder());
  if (!ForceDirectories(ExtractFilePath(path)) ||
      !WriteAtomically(path, FoldersDropInText(paths))) {
    PrintErr("fenwoldctl folders: cannot write %s\n", path.c_str());
    return 1;
  }
  Print("wrote %s\nthen: systemctl daemon-reload && systemctl restart fenwold\n", path.c_str());
  return 0;
}

const TCtlCommand command("folders", "folders [--write-unit]",
                          "the card folders of settings; --write-unit opens them in the sandbox",
                          Folders);

}  // namespace
}  // namespace fw

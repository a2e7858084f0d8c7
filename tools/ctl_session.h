// What scan and pass share with the service: the registry's connection parameters, the two
// connections made the way the service makes them, and the service's message log.
#pragma once

#include <memory>
#include <string>

#include "db/odbc.h"
#include "intake/card_encoding.h"
#include "intake/card_folders.h"
#include "log/messlog.h"

namespace fw {

// The service's log file: "fenwold.log" beside the executable, or in $FENWOLD_LOG_DIR.
std::string ServiceLogPath();

struct TCtlSession {
  std::unique_ptr<TMessLog> log;
  std::unique_ptr<TODBC> mainDb;     // auto-commit
  std::unique_ptr<TODBC> stagingDb;  // manual commit
  TCardFileEncoding encoding;        // the registry's card file settings

  // Opens the log and connects both; on failure prints why on stderr and returns false.
  bool Open(const std::string& command, bool withStaging);
};

// Connects `db` as the service's MainDb, without touching the log; false with the driver's text.
bool ConnectLikeService(TODBC& db, std::string& error);

// The three folders of the first row of `settings`.
bool ReadCardFolders(TODBC& db, TCardFolders& folders, std::string& error);

}  // namespace fw

// A card database and folders ready for the real service: the schema, a settings row naming
// drop/done/errors folders, a few card types, and a registry file that points at the
// database.
#pragma once

#include <memory>
#include <string>

#include "db/odbc.h"
#include "tests/support/db_fixture.h"
#include "tests/support/fenwold_process.h"

namespace fw::test {

// Runs every statement of the driver's schema/*.sql below `sourceDir`.
bool LoadSchema(TODBC& db, TTestDriver driver, const std::string& sourceDir);

// Writes the registry file that makes the service connect with `params`.
void WriteRegistryFile(const std::string& path, const TDbParams& params);

struct TServiceFolders {
  std::string root, drop, done, errors, logs;
  explicit TServiceFolders(const std::string& root);
};

// Schema, a settings row naming the folders, and the card types STAFF (days), DEBIT (debit)
// and MONTHLY.
bool PrepareCardDatabase(TODBC& db, TTestDriver driver, const std::string& sourceDir,
                         const TServiceFolders& folders);

// Puts a card file into the drop folder in one step (written beside it, then renamed), so
// that the service never sees half of it.
void DropCardFile(const TServiceFolders& folders, const std::string& name, const std::string& text);

// A card row that stages a new STAFF card: "A,<number>,STAFF,...".
std::string StaffCardLine(long long number);

// The environment of a service run on these folders.
TEnv ServiceEnv(const TServiceFolders& folders, const std::string& registry, unsigned tickMs);

// A test of one service process on every driver: its folders, the card database and the
// registry file are ready in SetUp; a service still running is stopped in TearDown.
class TServiceTest : public TDbTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Stops the service if it runs (SIGTERM); its exit status, 0 when it was not running, -1
  // when it did not end within a minute.
  int StopService();
  // ServiceEnv with a tick of `tickMs`, and `extra` on top.
  TEnv Env(unsigned tickMs, const TEnv& extra = {}) const;

  std::unique_ptr<TServiceFolders> folders_;
  std::string registry_;
  TChildProcess service_;
};

}  // namespace fw::test

// The table of the card_file ledger (intake/card_ledger.h) on the card database: whether it is
// there, asked of the database's catalog, and making it where it is missing from the DDL of
// schema/ for the connected database. Called at connect, on the thread that owns the
// connection; nothing here logs: the caller writes LedgerTableLine.
#pragma once

#include <string>
#include <vector>

#include "db/odbc.h"

namespace fw {

enum TLedgerState {
  lsPresent,  // the catalog names it
  lsCreated,  // it was missing and was created, with its unique key
  lsMissing,  // the catalog does not name it (and, after EnsureLedgerTable, it could not be made)
  lsUnknown,  // the catalog could not be read: nothing is known
};

struct TLedgerTable {
  TLedgerState state = lsUnknown;
  // lsMissing after a failed CREATE, or lsUnknown: the driver's diagnostics.
  std::string error;
  // The failure was the connection going: the next connect asks again.
  bool lostConnection = false;
  // lsMissing: what creates it on this database, one statement an entry; empty when the
  // database is none of ours (schema/ has no DDL for it).
  std::vector<std::string> createStatements;

  bool Present() const { return state == lsPresent || state == lsCreated; }
};

// "mysql", "postgres" or "sqlite" for a connected database, as CardSchemaFor names them;
// empty for any other.
std::string SchemaNameOf(TODBC& db);

// The card_file statements of a DDL text (the table and its indexes), in order.
std::vector<std::string> LedgerStatements(const std::string& ddl);

// Asks the catalog only: lsPresent, lsMissing (with createStatements) or lsUnknown.
TLedgerTable FindLedgerTable(TODBC& db);

// FindLedgerTable, and where missing runs the create statements in one transaction on `db`
// (all or none: the table never stands without its unique key). A CREATE that fails is
// rolled back and the catalog asked again, so a table another server made meanwhile is
// lsPresent, not a failure. lsMissing then means this account may not create it.
TLedgerTable EnsureLedgerTable(TODBC& db);

// The log line of an answer worth one: lsCreated, or the warning of lsMissing; empty otherwise.
std::string LedgerTableLine(const TLedgerTable& table);

}  // namespace fw

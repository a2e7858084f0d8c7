// Connecting to the card database with the installation's settings, as the service and every
// fenwoldctl command do: one way, so that a tool that checks or runs intake reaches the
// database exactly as the service would.
//
// Threads: the thread that owns `db` (db/odbc.h). Ownership: the caller keeps `db` and the
// settings; nothing is kept here. Failures: false leaves `db` disconnected, with LastError and
// LostConnection (an unreachable server rather than a refused login) saying why.
#pragma once

#include "config/conn_params.h"
#include "db/odbc.h"

namespace fw {

bool Connect(TODBC& db, const TConnParams& params, TCommitMode mode);

}  // namespace fw

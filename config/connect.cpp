#include "config/connect.h"

namespace fw {

bool Connect(TODBC& db, const TConnParams& params, TCommitMode mode) {
  return db.Connect(params.DSNName, params.User, params.Pass, params.Database,
                    mode == cmManualCommit, params.ODBCDriver, params.ConnectOptions());
}

}  // namespace fw

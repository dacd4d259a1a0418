#pragma once
// The commands that act on the panel itself, run on the operation worker: Delete Sessions on
// its database, and Start and Stop Tarvo website through its utility "hostpivot", which needs
// the management service "tarvosrv" while it works. Each tells its outcome in a message box.
#include "app/Operation.h"

namespace maintenance {

// Logs every user out of the panel. Nothing is asked first and nothing shown on success.
void deleteSessions(OperationReport& report);
void startWebsite(OperationReport& report);
void stopWebsite(OperationReport& report);

} // namespace maintenance

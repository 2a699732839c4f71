// Start-up of the socket platform, once per process.
//
// The first socket that is constructed calls Startup(). A failed start-up is reported on aio_cerr
// and never retried; the sockets then fail in their own calls.
#pragma once

#include "base/KEPBasExport.h"

// Starts the socket platform asking for version 2.2, unless an attempt was made already.
KEPMSG_API void Startup();
// Forgets that an attempt was made, so that tests can drive Startup() again. Not exported: the
// tests link the module's layers statically.
void ResetStartupForTesting();

// The calling process as the base layer sees it; the debug logs name their files after it.
#pragma once

#include "base/KEPBasExport.h"

// The operating system's number for the calling process (getpid, or _getpid on Windows).
KEPBAS_API int KEPBasProcessId();

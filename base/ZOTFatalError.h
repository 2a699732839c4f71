// The fatal-error path: reports a broken invariant and ends the process.
#pragma once

#include "base/KEPBasExport.h"

// Writes message, path and line to standard error and aborts. The three middle arguments are
// extra details and may be null.
[[noreturn]] KEPBAS_API void ZOTFatalError(const char* message, const char* detail1,
                                           const char* detail2, const char* detail3,
                                           const char* path, int line);

// ZOTFatalError: the fatal-error path, which reports a broken invariant and ends the process.
//
// It is the library's answer to states that must not happen (a failed assertion, memory
// exhausted); it never returns, so callers need no recovery path. It owns nothing and writes
// only to standard error; any thread may call it, and the first caller ends the process.
#pragma once

#include "base/KEPBasExport.h"

// Writes message, path and line to standard error and aborts. The three middle arguments are
// extra details and may be null.
[[noreturn]] KEPBAS_API void ZOTFatalError(const char* message, const char* detail1,
                                           const char* detail2, const char* detail3,
                                           const char* path, int line);

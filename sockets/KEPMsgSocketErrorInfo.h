// Texts of Winsock error codes.
//
// One constant table of 44 codes, sorted by code. Both functions are safe to call from any
// thread; printError writes one whole line per call.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"

// Replaces text with the table text of code, or with "unknown error".
KEPMSG_API void KEPMsgSocketErrorInfo(int code, KEPString& text);
// Writes "<label>: <text of code>\n" to aio_cerr and flushes it.
KEPMSG_API void printError(const char* label, int code);

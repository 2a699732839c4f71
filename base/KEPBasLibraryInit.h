// Initialize and finalize entry points of the six base libraries.
//
// Each pair has its own reference count: only the first initialize and the last finalize do
// work, and they raise or lower the caller's initialization counter by one. A finalize without
// a matching initialize changes nothing. The host calls these from one thread at a time.
#pragma once

#include "base/KEPBasExport.h"

KEPBAS_API void KEPSimContainers_initialize(int& counter);
KEPBAS_API void KEPSimContainers_finalize(int& counter);
KEPBAS_API void KEPBasXmlParser_initialize(int& counter);
KEPBAS_API void KEPBasXmlParser_finalize(int& counter);
KEPBAS_API void KEPBasShared_initialize(int& counter);
KEPBAS_API void KEPBasShared_finalize(int& counter);
KEPBAS_API void KEPBasCoreUtils_initialize(int& counter);
KEPBAS_API void KEPBasCoreUtils_finalize(int& counter);
KEPBAS_API void KEPBasGenericsLib_initialize(int& counter);
KEPBAS_API void KEPBasGenericsLib_finalize(int& counter);
KEPBAS_API void KEPBasAlloc_initialize(int& counter);
KEPBAS_API void KEPBasAlloc_finalize(int& counter);

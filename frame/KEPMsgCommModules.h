// Module lifecycle: initialize and finalize entry points of ORVKEPMsgCommModules.
//
// Every layer has an `..._initialize(int&)` / `..._finalize(int&)` pair with a private
// reference count: only the first initialize and the last finalize do work, and the int
// argument (the initialization counter) goes up by one for every layer that really came up and
// down by one for every layer that really went down. The module initialize sequence brings up
// the six base libraries in a fixed order and then the messaging layer, which creates the seven
// process-wide singletons; the module finalize sequence releases the base libraries in the
// exact reverse order. The singletons outlive it: only their own Finalize() destroys them.
//
// The loader runs DllMain at load and unload. The host must not call these entry points from
// several threads at once; the counts are atomic only so that concurrent readers are safe.
#pragma once

#include "base/KEPBasExport.h"

// Module initialize sequence with the caller's counter: the first call raises counter by 3
// plus what the base libraries add; later calls only count.
KEPMSG_API void KEPMsgCommModules_initialize(int& counter);
// Module finalize sequence: the call that releases the last reference lowers counter and
// finalizes the layers in reverse order; earlier calls only count.
KEPMSG_API void KEPMsgCommModules_finalize(int& counter);
// Specific count + 1; counter + 1 when it was 0.
KEPMSG_API void KEPMsgCommModules_specific_initialize(int& counter);
// Specific count - 1; counter - 1 when it became 0.
KEPMSG_API void KEPMsgCommModules_specific_finalize(int& counter);
// Messaging layer start: the first call raises counter by 1 and creates the seven singletons.
KEPMSG_API void KEPMsgComm_initialize(int& counter);
// Messaging count - 1; counter - 1 when it became 0. Destroys nothing.
KEPMSG_API void KEPMsgComm_finalize(int& counter);

extern "C" {
// The module sequences with the plain-entry status word, for callers without C++ linkage.
KEPMSG_API void KEPMsgCommModules_initializeC();
KEPMSG_API void KEPMsgCommModules_finalizeC();
}

// Loader entry: reason 1 (process attach) runs the module initialize sequence, reason 0
// (process detach) the finalize sequence, both with the loader status word; other reasons do
// nothing. Returns 1 in every case. On Windows the loader calls it by its C name (the
// signature is BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) on x64); elsewhere the load hooks
// of the shared module call it.
#ifdef _WIN32
extern "C" KEPMSG_API int DllMain(void* module, unsigned long reason, void* reserved);
#else
KEPMSG_API int DllMain(void* module, unsigned long reason, void* reserved);
#endif

// Read-only views of the lifecycle state, for tests and diagnostics.
KEPMSG_API int KEPMsgCommModules_moduleCount();
KEPMSG_API int KEPMsgCommModules_specificCount();
KEPMSG_API int KEPMsgComm_messagingCount();
KEPMSG_API int KEPMsgCommModules_loaderStatus();
KEPMSG_API int KEPMsgCommModules_plainEntryStatus();

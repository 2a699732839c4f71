// Load and unload hooks of the shared module: they play the loader's part, running DllMain's
// process-attach branch when the library is loaded and its process-detach branch when it is
// unloaded.
#include "frame/KEPMsgCommModules.h"

namespace {

__attribute__((constructor)) void KEPMsgCommOnLoad() {
    DllMain(nullptr, 1, nullptr);
}

__attribute__((destructor)) void KEPMsgCommOnUnload() {
    DllMain(nullptr, 0, nullptr);
}

}  // namespace

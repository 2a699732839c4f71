#include "base/KEPBasProcess.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

int KEPBasProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

#include "platform/KEPProcess.h"

#ifdef _WIN32
#include <process.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

int KEPCurrentProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

bool KEPRegisterForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
#ifdef _WIN32
    (void)prepare;
    (void)parent;
    (void)child;
    return false;
#else
    return ::pthread_atfork(prepare, parent, child) == 0;
#endif
}

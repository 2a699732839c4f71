// KEPProcess: the process the library runs in: its id, and code that runs around fork().
//
// On a platform with fork, the three functions run as pthread_atfork handlers: prepare in the
// forking thread before the fork, parent in the parent after it, child in the child after it
// (the child has only the forking thread). On a platform without fork (Windows) nothing is ever
// called. Handlers registered from the shared module are dropped when it is unloaded.
#pragma once

// The process id (getpid; _getpid on Windows).
int KEPCurrentProcessId();

// Registers the handlers; true when they will run (false without fork, or when the system
// refused them). Call once per set of handlers.
bool KEPRegisterForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

// KEPMsgForkGuard: keeps the library sound in a process that forks.
//
// The library is loaded, and its state made, before the host's main; a host that forks shares
// that state with its child. Install() registers three fork handlers (once per process, on a
// platform with fork):
// - before the fork, in the forking thread: every lock of the library is taken in the
//   documented order (the global lock, communicator mutex, send-buffer mutex, organizer mutex,
//   waitable lock after waking a waiting receive pass, connection-services mutex,
//   retrieve-buffer mutex, then the leaf locks), so no structure is copied half-changed;
// - after it, in the parent: all are released, in reverse order;
// - after it, in the child: the recursive mutexes are made afresh (their copies name the
//   forking thread of the parent as their owner), the others released, and the child gets state
//   of its own: a new wake-up pair; the inherited connections and listening sockets closed
//   (its copies only, without shutdown(2)) and forgotten with their channels; queued records
//   and events dropped; no message task and no reconnecting client (their threads do not exist
//   in the child); the debug log in a file named after the child's process id. Received
//   messages already stored stay.
// So a child never disturbs its parent: it may use the whole interface for servers and
// connections of its own, but the parent's connections are not its to use.
//
// Thread-safety: Install may be called from any thread, any number of times.
#pragma once

class KEPMsgForkGuard {
  public:
    // Registers the handlers, the first time it is called.
    static void Install();
};

// Symbol visibility for the base layer and the messaging module.
//
// Both shared libraries are built with hidden visibility; only what carries one of these
// macros is part of their interface. On this platform exporting and importing are the same.
#pragma once

#define KEPBAS_API __attribute__((visibility("default")))
#define KEPMSG_API __attribute__((visibility("default")))

// Marks a member of an exported class as module-internal: the module's own layers (and the
// tests, which link them statically) call it, but the shared library does not export it, so a
// host cannot reach it.
#define KEPMSG_INTERNAL __attribute__((visibility("hidden")))

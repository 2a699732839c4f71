// Symbol visibility for the base layer and the messaging module.
//
// Both shared libraries are built with hidden visibility; only what carries one of these
// macros is part of their interface. On ELF platforms exporting and importing are the same. On
// Windows a DLL exports what its own sources mark (KEP_BUILDING_BASE, KEP_BUILDING_MODULE; the
// module's layers are compiled with the latter, also where tests link them statically) and its
// users import it.
#pragma once

#ifdef _WIN32
#ifdef KEP_BUILDING_BASE
#define KEPBAS_API __declspec(dllexport)
#else
#define KEPBAS_API __declspec(dllimport)
#endif
#ifdef KEP_BUILDING_MODULE
#define KEPMSG_API __declspec(dllexport)
#else
#define KEPMSG_API __declspec(dllimport)
#endif
// A DLL exports a class whole; module-internal members stay unreachable only by convention.
#define KEPMSG_INTERNAL
#else
#define KEPBAS_API __attribute__((visibility("default")))
#define KEPMSG_API __attribute__((visibility("default")))

// Marks a member of an exported class as module-internal: the module's own layers (and the
// tests, which link them statically) call it, but the shared library does not export it, so a
// host cannot reach it.
#define KEPMSG_INTERNAL __attribute__((visibility("hidden")))
#endif

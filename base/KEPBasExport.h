// Symbol visibility for the base layer and the messaging module.
//
// Both shared libraries are built with hidden visibility; only what carries one of these
// macros is part of their interface. On this platform exporting and importing are the same.
#pragma once

#define KEPBAS_API __attribute__((visibility("default")))
#define KEPMSG_API __attribute__((visibility("default")))

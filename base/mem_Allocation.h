// Allocation functions of the base layer.
//
// Every allocation of the module goes through these functions. They never return null: when the
// system is out of memory they end the process through ZOTFatalError, so no exception ever
// leaves the library. mem_Free releases memory from any of the three allocators and accepts null.
#pragma once

#include <cstddef>

#include "base/KEPBasExport.h"

KEPBAS_API void* mem_OperatorNewThrow(std::size_t size);         // objects
KEPBAS_API void* mem_OperatorNewThrowBuiltin(std::size_t size);  // byte buffers
KEPBAS_API void* mem_Malloc(std::size_t size);                   // table storage
KEPBAS_API void mem_Free(void* memory);

// Tag of the placement form of mem_AllocationOperators::operator new.
struct KEPBasPlacement {};
// Tag of the byte-buffer form of operator new[].
struct mem_BuiltInAlloc {};

// Base of the module's heap classes: their objects are allocated with mem_OperatorNewThrow and
// released with mem_Free.
class KEPBAS_API mem_AllocationOperators {
  public:
    static void* operator new(std::size_t size);
    static void operator delete(void* memory);
    static void* operator new(std::size_t size, void* address, KEPBasPlacement);
    static void operator delete(void* memory, void* address, KEPBasPlacement);
};

KEPBAS_API void* operator new[](std::size_t size, mem_BuiltInAlloc);
KEPBAS_API void mem_deleteBuiltIn(char* buffer);

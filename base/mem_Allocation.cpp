#include "base/mem_Allocation.h"

#include <cstdlib>

#include "base/ZOTFatalError.h"

namespace {

// malloc that never gives null: a zero size still yields a block, and exhaustion ends the
// process through the fatal-error path instead of throwing.
void* AllocateOrDie(std::size_t size) {
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        ZOTFatalError("out of memory", nullptr, nullptr, nullptr, "base/mem_Allocation.cpp",
                      __LINE__);
    }
    return memory;
}

}  // namespace

void* mem_OperatorNewThrow(std::size_t size) {
    return AllocateOrDie(size);
}

void* mem_OperatorNewThrowBuiltin(std::size_t size) {
    return AllocateOrDie(size);
}

void* mem_Malloc(std::size_t size) {
    return AllocateOrDie(size);
}

void mem_Free(void* memory) {
    std::free(memory);
}

void* mem_AllocationOperators::operator new(std::size_t size) {
    return mem_OperatorNewThrow(size);
}

void mem_AllocationOperators::operator delete(void* memory) {
    mem_Free(memory);
}

void* mem_AllocationOperators::operator new(std::size_t, void* address, KEPBasPlacement) {
    return address;
}

void mem_AllocationOperators::operator delete(void*, void*, KEPBasPlacement) {}

void* operator new[](std::size_t size, mem_BuiltInAlloc) {
    return mem_OperatorNewThrowBuiltin(size);
}

void mem_deleteBuiltIn(char* buffer) {
    mem_Free(buffer);
}

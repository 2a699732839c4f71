// Replicators: how the untyped container engines copy and destroy elements of a type T.
//
// KEPBasGetReplicator<T>() gives the element size, a copy function and a destroy function.
// Trivially copyable types are copied byte for byte and need no destruction; other types are
// copy-constructed in place and destroyed with their destructor.
#pragma once

#include <cstring>
#include <new>
#include <type_traits>

#include "base/KEPBasVectorGeneric.h"

// Plain copy of count elements.
template <class T>
void KEPBasPODCopy(const void* source, void* destination, int count) {
    if (count > 0) {
        std::memcpy(destination, source, sizeof(T) * static_cast<std::size_t>(count));
    }
}

// Copy-constructs count elements in place, in order, into raw destination storage.
template <class T>
void KEPBasStandardCopy(const void* source, void* destination, int count) {
    const T* from = static_cast<const T*>(source);
    T* to = static_cast<T*>(destination);
    for (int i = 0; i < count; ++i) {
        ::new (static_cast<void*>(to + i)) T(from[i]);
    }
}

// Runs T's destructor on count elements.
template <class T>
void KEPBasStandardDestroy(void* elements, int count) {
    T* items = static_cast<T*>(elements);
    for (int i = 0; i < count; ++i) {
        items[i].~T();
    }
}

template <class T>
KEPBasReplicatorGeneric KEPBasGetReplicator() {
    KEPBasReplicatorGeneric replicator;
    replicator.m_elementSize = sizeof(T);
    if (std::is_trivially_copyable<T>::value) {
        replicator.m_copy = &KEPBasPODCopy<T>;
        replicator.m_destroy = nullptr;
    } else {
        replicator.m_copy = &KEPBasStandardCopy<T>;
        replicator.m_destroy = &KEPBasStandardDestroy<T>;
    }
    return replicator;
}

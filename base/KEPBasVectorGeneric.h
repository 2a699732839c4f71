// KEPBasVectorGeneric: untyped engine of KEPBasVector<T>.
//
// One contiguous block of elements of a fixed size, copied in with the replicator's copy
// function (copy-construction in place) and destroyed with its destroy function (null when the
// elements need no destruction). The engine owns its element objects, not what pointer elements
// point to. Storage comes from mem_Malloc. Nothing locks: a shared vector is guarded by its
// owner.
#pragma once

#include <cstddef>

#include "base/KEPBasExport.h"

// How to copy and destroy elements of one type: element size, copy function (copy-constructs
// count elements from source into raw destination, in order), destroy function (runs the
// destructor on count elements; null when there is nothing to run).
struct KEPBasReplicatorGeneric {
    std::size_t m_elementSize;
    void (*m_copy)(const void* source, void* destination, int count);
    void (*m_destroy)(void* elements, int count);
};

// Empty allocator tag of the vector engine: storage is taken from mem_Malloc.
struct KEPBasVectorAllocator {};

class KEPBAS_API KEPBasVectorGeneric {
  public:
    explicit KEPBasVectorGeneric(const KEPBasReplicatorGeneric& replicator);
    // A copy of every element of other, with other's replicator.
    KEPBasVectorGeneric(const KEPBasVectorGeneric& other);
    KEPBasVectorGeneric& operator=(const KEPBasVectorGeneric& other);
    ~KEPBasVectorGeneric();

    // Inline: the typed vectors ask for it in every loop, from other libraries too.
    int Size() const {
        return m_elementSize == 0 ? 0 : static_cast<int>((m_end - m_begin) / m_elementSize);
    }
    int Capacity() const;
    char* Begin() const { return m_begin; }
    char* End() const { return m_end; }

    // Copies the element at the end; element may be one of this vector's own elements.
    void PushBack(const void* element);
    // Destroys the element at index and closes the gap, keeping the order of the others.
    void Erase(int index);
    // Destroys every element; the storage is kept.
    void Clear();
    // Makes room for at least count elements without changing the elements.
    void Reserve(int count);
    void swap(KEPBasVectorGeneric& other);

  private:
    // Moves the elements into grown, a block of capacity elements, and releases the old block.
    void AdoptStorage(char* grown, int capacity);

    [[maybe_unused]] KEPBasVectorAllocator m_allocator;
    std::size_t m_elementSize;
    void (*m_copy)(const void* source, void* destination, int count);
    void (*m_destroy)(void* elements, int count);
    char* m_begin;
    char* m_end;
    char* m_endOfCapacity;
};

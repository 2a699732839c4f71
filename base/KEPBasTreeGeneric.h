// KEPBasTreeGeneric<A>: untyped engine of KEPBasSet<T>, an ordered tree of unique elements.
//
// Every node is one block from the allocator A: the node header (KEPBasTreeNodeGeneric) and the
// element at the offset that KEPBasNodeOffsets gives. Elements are copied in with the
// replicator's copy function and destroyed with its destroy function; their order is the
// comparison function's (a strict weak order). The tree is a treap: a random priority per node
// keeps insertions O(log n) on average whatever the insertion order. Nothing locks: a shared
// tree is guarded by its owner.
#pragma once

#include <cstddef>

#include "base/KEPBasExport.h"
#include "base/KEPBasVectorGeneric.h"

// Node storage from mem_Malloc, released with mem_Free.
struct KEPBAS_API KEPBasNodeAllocator {
    static void* allocate(std::size_t size);
    static void deallocate(void* memory);
};

struct KEPBasTreeNodeGeneric {
    KEPBasTreeNodeGeneric* m_left;
    KEPBasTreeNodeGeneric* m_right;
    KEPBasTreeNodeGeneric* m_parent;
    unsigned m_priority;
};

// Where an element of a given type sits in a node, and the size of the whole node.
struct KEPBasNodeOffsets {
    std::size_t m_elementOffset;
    std::size_t m_nodeSize;
};

template <class A>
class KEPBAS_API KEPBasTreeGeneric {
  public:
    using LessFunction = bool (*)(const void* a, const void* b);

    KEPBasTreeGeneric(const KEPBasNodeOffsets& offsets, const KEPBasReplicatorGeneric& replicator,
                      LessFunction less);
    ~KEPBasTreeGeneric();
    KEPBasTreeGeneric(const KEPBasTreeGeneric&) = delete;
    KEPBasTreeGeneric& operator=(const KEPBasTreeGeneric&) = delete;

    // Adds a copy of element unless an equal one is present. Returns the node holding the
    // element equal to it; added tells whether it was added.
    KEPBasTreeNodeGeneric* InsertUnique(const void* element, bool& added);
    // Destroys every element and node.
    void Clear();
    int Size() const { return m_size; }
    // The node of the smallest element, or null when the tree is empty.
    KEPBasTreeNodeGeneric* First() const;
    // The node of the next larger element, or null after the largest.
    static KEPBasTreeNodeGeneric* Next(const KEPBasTreeNodeGeneric* node);

    void* ElementOf(const KEPBasTreeNodeGeneric* node) const {
        return const_cast<char*>(reinterpret_cast<const char*>(node)) + m_offsets.m_elementOffset;
    }

  private:
    void DestroySubtree(KEPBasTreeNodeGeneric* node);
    void RotateUp(KEPBasTreeNodeGeneric* node);

    KEPBasNodeOffsets m_offsets;
    KEPBasReplicatorGeneric m_replicator;
    LessFunction m_less;
    KEPBasTreeNodeGeneric* m_root;
    int m_size;
    unsigned m_seed;
};

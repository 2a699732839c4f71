// KEPBasSet<T>: ordered set of unique T, typed front end of KEPBasTreeGeneric.
//
// Elements are ordered by T's operator< (for KEPString: ascending unsigned bytes, the empty
// string first) and owned by the set, which copies them in. Iterators stay valid until the set
// is destroyed or cleared. Nothing locks: a shared set is guarded by its owner.
#pragma once

#include <cstddef>

#include "KEPBase/ProtectedInterfaces/KEPBasReplicator.h"
#include "base/KEPBasTreeGeneric.h"
#include "base/mem_Allocation.h"

template <class A, class B>
struct KEPBasPair {
    A first;
    B second;
};

template <class T>
class KEPBasTreeIterator {
  public:
    KEPBasTreeIterator() : m_node(nullptr), m_elementOffset(0) {}
    KEPBasTreeIterator(const KEPBasTreeNodeGeneric* node, std::size_t elementOffset)
        : m_node(node), m_elementOffset(elementOffset) {}

    // Moves to the next larger element; end() after the largest.
    KEPBasTreeIterator& operator++() {
        m_node = KEPBasTreeGeneric<KEPBasNodeAllocator>::Next(m_node);
        return *this;
    }
    const T& operator*() const {
        return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(m_node) + m_elementOffset);
    }
    const T* operator->() const { return &**this; }
    bool operator==(const KEPBasTreeIterator& other) const { return m_node == other.m_node; }
    bool operator!=(const KEPBasTreeIterator& other) const { return m_node != other.m_node; }

  private:
    const KEPBasTreeNodeGeneric* m_node;
    std::size_t m_elementOffset;
};

template <class T>
class KEPBasSet : public mem_AllocationOperators {
  public:
    using iterator = KEPBasTreeIterator<T>;
    using const_iterator = KEPBasTreeIterator<T>;

    KEPBasSet() : m_tree(Offsets(), KEPBasGetReplicator<T>(), &Less) {}
    KEPBasSet(const KEPBasSet& other) : KEPBasSet() {
        for (const T& element : other) {
            insert(element);
        }
    }
    KEPBasSet& operator=(const KEPBasSet& other) {
        if (this != &other) {
            m_tree.Clear();
            for (const T& element : other) {
                insert(element);
            }
        }
        return *this;
    }
    ~KEPBasSet() {}

    // Adds a copy of value unless an equal element is present. second tells whether it was
    // added; first designates the element equal to value.
    KEPBasPair<iterator, bool> insert(const T& value) {
        bool added = false;
        const KEPBasTreeNodeGeneric* node = m_tree.InsertUnique(&value, added);
        return KEPBasPair<iterator, bool>{iterator(node, Offsets().m_elementOffset), added};
    }
    // The smallest element, or end() when the set is empty.
    iterator begin() const { return iterator(m_tree.First(), Offsets().m_elementOffset); }
    iterator end() const { return iterator(nullptr, Offsets().m_elementOffset); }
    int size() const { return m_tree.Size(); }
    bool empty() const { return m_tree.Size() == 0; }
    void clear() { m_tree.Clear(); }

  private:
    // The element follows the node header at T's alignment.
    static KEPBasNodeOffsets Offsets() {
        const std::size_t align = alignof(T);
        const std::size_t offset = (sizeof(KEPBasTreeNodeGeneric) + align - 1) / align * align;
        return KEPBasNodeOffsets{offset, offset + sizeof(T)};
    }
    static bool Less(const void* a, const void* b) {
        return *static_cast<const T*>(a) < *static_cast<const T*>(b);
    }

    KEPBasTreeGeneric<KEPBasNodeAllocator> m_tree;
};

#include "base/KEPBasTreeGeneric.h"

#include "base/mem_Allocation.h"

void* KEPBasNodeAllocator::allocate(std::size_t size) {
    return mem_Malloc(size);
}

void KEPBasNodeAllocator::deallocate(void* memory) {
    mem_Free(memory);
}

template <class A>
KEPBasTreeGeneric<A>::KEPBasTreeGeneric(const KEPBasNodeOffsets& offsets,
                                        const KEPBasReplicatorGeneric& replicator,
                                        LessFunction less)
    : m_offsets(offsets),
      m_replicator(replicator),
      m_less(less),
      m_root(nullptr),
      m_size(0),
      m_seed(2463534242u) {}

template <class A>
KEPBasTreeGeneric<A>::~KEPBasTreeGeneric() {
    Clear();
}

template <class A>
void KEPBasTreeGeneric<A>::Clear() {
    DestroySubtree(m_root);
    m_root = nullptr;
    m_size = 0;
}

template <class A>
void KEPBasTreeGeneric<A>::DestroySubtree(KEPBasTreeNodeGeneric* node) {
    while (node != nullptr) {
        DestroySubtree(node->m_left);
        KEPBasTreeNodeGeneric* right = node->m_right;
        if (m_replicator.m_destroy != nullptr) {
            m_replicator.m_destroy(ElementOf(node), 1);
        }
        A::deallocate(node);
        node = right;
    }
}

template <class A>
KEPBasTreeNodeGeneric* KEPBasTreeGeneric<A>::InsertUnique(const void* element, bool& added) {
    KEPBasTreeNodeGeneric* parent = nullptr;
    KEPBasTreeNodeGeneric** link = &m_root;
    while (*link != nullptr) {
        parent = *link;
        if (m_less(element, ElementOf(parent))) {
            link = &parent->m_left;
        } else if (m_less(ElementOf(parent), element)) {
            link = &parent->m_right;
        } else {
            added = false;
            return parent;
        }
    }
    auto* node = static_cast<KEPBasTreeNodeGeneric*>(A::allocate(m_offsets.m_nodeSize));
    node->m_left = nullptr;
    node->m_right = nullptr;
    node->m_parent = parent;
    // xorshift32: a cheap pseudo-random priority is all a treap needs.
    m_seed ^= m_seed << 13;
    m_seed ^= m_seed >> 17;
    m_seed ^= m_seed << 5;
    node->m_priority = m_seed;
    m_replicator.m_copy(element, ElementOf(node), 1);
    *link = node;
    while (node->m_parent != nullptr && node->m_priority > node->m_parent->m_priority) {
        RotateUp(node);
    }
    ++m_size;
    added = true;
    return node;
}

template <class A>
void KEPBasTreeGeneric<A>::RotateUp(KEPBasTreeNodeGeneric* node) {
    KEPBasTreeNodeGeneric* parent = node->m_parent;
    KEPBasTreeNodeGeneric* grandparent = parent->m_parent;
    if (parent->m_left == node) {
        parent->m_left = node->m_right;
        if (node->m_right != nullptr) {
            node->m_right->m_parent = parent;
        }
        node->m_right = parent;
    } else {
        parent->m_right = node->m_left;
        if (node->m_left != nullptr) {
            node->m_left->m_parent = parent;
        }
        node->m_left = parent;
    }
    parent->m_parent = node;
    node->m_parent = grandparent;
    if (grandparent == nullptr) {
        m_root = node;
    } else if (grandparent->m_left == parent) {
        grandparent->m_left = node;
    } else {
        grandparent->m_right = node;
    }
}

template <class A>
KEPBasTreeNodeGeneric* KEPBasTreeGeneric<A>::First() const {
    KEPBasTreeNodeGeneric* node = m_root;
    while (node != nullptr && node->m_left != nullptr) {
        node = node->m_left;
    }
    return node;
}

template <class A>
KEPBasTreeNodeGeneric* KEPBasTreeGeneric<A>::Next(const KEPBasTreeNodeGeneric* node) {
    if (node == nullptr) {
        return nullptr;
    }
    if (node->m_right != nullptr) {
        KEPBasTreeNodeGeneric* next = node->m_right;
        while (next->m_left != nullptr) {
            next = next->m_left;
        }
        return next;
    }
    const KEPBasTreeNodeGeneric* child = node;
    KEPBasTreeNodeGeneric* parent = node->m_parent;
    while (parent != nullptr && parent->m_right == child) {
        child = parent;
        parent = parent->m_parent;
    }
    return parent;
}

template class KEPBasTreeGeneric<KEPBasNodeAllocator>;

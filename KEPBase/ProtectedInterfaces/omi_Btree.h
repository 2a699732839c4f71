// omi_Btree<K, V>: ordered map with unique keys, kept as a height-balanced binary search tree.
//
// The first insertion of a key stays: inserting a present key changes nothing. Get of a missing
// key gives the tree's null value (a null KEPString, a null pointer, V{} in general). The tree
// owns its nodes and the key and value objects in them; a pointer value is only a pointer and
// what it points to is never deleted. Every node records its max depth (0 for a leaf, otherwise
// 1 + the larger max depth of its children); insertions and removals rebalance the nodes on
// their path with single rotations. Nothing here locks: a shared tree is guarded by its owner.
// omi_BtreeIterator walks a tree in ascending (First/Next) or descending (Last/Previous) order
// with an explicit stack; the tree must not change while an iterator walks it.
#pragma once

#include <new>

#include "base/KEPString.h"
#include "base/mem_Allocation.h"

// Comparison of a node's key a with a searched key b: negative when b sorts before a, positive
// when after, 0 when equal (that is, b.Compare(a)).
inline int BtreeCompare(const KEPString& a, const KEPString& b) {
    return b.Compare(a);
}
inline int BtreeCompare(int a, int b) {
    return b < a ? -1 : (a < b ? 1 : 0);
}
inline int BtreeCompare(unsigned a, unsigned b) {
    return b < a ? -1 : (a < b ? 1 : 0);
}
template <class K>
int BtreeCompare(const K& a, const K& b) {
    return b < a ? -1 : (a < b ? 1 : 0);
}

// The value Get gives for a missing key.
template <class V>
struct omi_BtreeValue {
    static V NullValue() { return V(); }
};

template <class K, class V>
class omi_Btree;
template <class K, class V>
class omi_BtreeIterator;

template <class K, class V>
class omi_BtreeNode : public mem_AllocationOperators {
  public:
    omi_BtreeNode(const K& key, const V& value)
        : m_value(value), m_key(key), m_left(nullptr), m_right(nullptr), m_maxDepth(0) {}

    const K& Key() const { return m_key; }
    const V& Value() const { return m_value; }
    const omi_BtreeNode* Left() const { return m_left; }
    const omi_BtreeNode* Right() const { return m_right; }

    // The node of this subtree that holds key, or null.
    const omi_BtreeNode* Find(const K& key) const {
        const omi_BtreeNode* node = this;
        while (node != nullptr) {
            const int order = Compare(node->m_key, key);
            if (order == 0) {
                return node;
            }
            node = order < 0 ? node->m_left : node->m_right;
        }
        return nullptr;
    }

    // Adds key below this node; false (and no change) when the key is present. Rebalances the
    // children on the path and keeps the max depths; the caller rebalances this node.
    bool Insert(const K& key, const V& value) {
        const int order = Compare(m_key, key);
        if (order == 0) {
            return false;
        }
        omi_BtreeNode*& child = order < 0 ? m_left : m_right;
        if (child == nullptr) {
            child = new omi_BtreeNode(key, value);
        } else {
            if (!child->Insert(key, value)) {
                return false;
            }
            if (omi_BtreeNode* newRoot = child->Balance()) {
                child = newRoot;
            }
        }
        SetMaxDepth();
        return true;
    }

    // Removes key from the subtree rooted at link (which may change); false when absent.
    static bool Remove(omi_BtreeNode*& link, const K& key) {
        if (link == nullptr) {
            return false;
        }
        const int order = Compare(link->m_key, key);
        if (order == 0) {
            omi_BtreeNode* removed = link;
            if (removed->m_right == nullptr) {
                link = removed->m_left;
            } else if (removed->m_left == nullptr) {
                link = removed->m_right;
            } else {
                omi_BtreeNode* successor = DetachLeftmost(removed->m_right);
                successor->m_right = removed->m_right;
                successor->m_left = removed->m_left;
                successor->SetMaxDepth();
                link = successor;
            }
            delete removed;
            return true;
        }
        omi_BtreeNode*& child = order < 0 ? link->m_left : link->m_right;
        if (!Remove(child, key)) {
            return false;
        }
        if (child != nullptr) {
            if (omi_BtreeNode* newRoot = child->Balance()) {
                child = newRoot;
            }
        }
        link->SetMaxDepth();
        return true;
    }

    // Single rotation when the children's max depths differ by more than one (a missing child
    // counts as 0). Returns the new root of the subtree, or null when nothing changed.
    omi_BtreeNode* Balance() {
        const int difference = DepthOf(m_right) - DepthOf(m_left);
        if (difference > 1) {
            omi_BtreeNode* newRoot = m_right;
            m_right = newRoot->m_left;
            newRoot->m_left = this;
            SetMaxDepth();
            newRoot->SetMaxDepth();
            return newRoot;
        }
        if (difference < -1) {
            omi_BtreeNode* newRoot = m_left;
            m_left = newRoot->m_right;
            newRoot->m_right = this;
            SetMaxDepth();
            newRoot->SetMaxDepth();
            return newRoot;
        }
        return nullptr;
    }

    int MaxDepth() const { return m_maxDepth; }
    // Recomputes the max depth from the children.
    void SetMaxDepth() {
        if (m_left == nullptr && m_right == nullptr) {
            m_maxDepth = 0;
            return;
        }
        const int left = m_left != nullptr ? m_left->m_maxDepth : 0;
        const int right = m_right != nullptr ? m_right->m_maxDepth : 0;
        m_maxDepth = 1 + (left > right ? left : right);
    }

    static int Compare(const K& a, const K& b) { return BtreeCompare(a, b); }

  private:
    friend class omi_Btree<K, V>;
    friend class omi_BtreeIterator<K, V>;

    static int DepthOf(const omi_BtreeNode* node) { return node != nullptr ? node->m_maxDepth : 0; }

    // Unlinks the leftmost node of the subtree at link and returns it; the max depths of the
    // nodes it leaves behind on the left spine are recomputed.
    static omi_BtreeNode* DetachLeftmost(omi_BtreeNode*& link) {
        if (link->m_left == nullptr) {
            omi_BtreeNode* leftmost = link;
            link = leftmost->m_right;
            return leftmost;
        }
        omi_BtreeNode* leftmost = DetachLeftmost(link->m_left);
        link->SetMaxDepth();
        return leftmost;
    }

    static omi_BtreeNode* CopySubtree(const omi_BtreeNode* node) {
        if (node == nullptr) {
            return nullptr;
        }
        omi_BtreeNode* copy = new omi_BtreeNode(node->m_key, node->m_value);
        copy->m_left = CopySubtree(node->m_left);
        copy->m_right = CopySubtree(node->m_right);
        copy->m_maxDepth = node->m_maxDepth;
        return copy;
    }

    static void DestroySubtree(omi_BtreeNode* node) {
        while (node != nullptr) {
            DestroySubtree(node->m_left);
            omi_BtreeNode* right = node->m_right;
            delete node;
            node = right;
        }
    }

    V m_value;
    K m_key;
    omi_BtreeNode* m_left;
    omi_BtreeNode* m_right;
    int m_maxDepth;
};

template <class K, class V>
class omi_Btree : public mem_AllocationOperators {
  public:
    omi_Btree() : m_root(nullptr), m_count(0), m_nullValue(omi_BtreeValue<V>::NullValue()) {}
    omi_Btree(const omi_Btree& other)
        : m_root(Node::CopySubtree(other.m_root)),
          m_count(other.m_count),
          m_nullValue(other.m_nullValue) {}
    // Copies the source's nodes first, then destroys the old ones; a self-assignment does
    // nothing.
    omi_Btree& operator=(const omi_Btree& other) {
        if (this != &other) {
            Node* copied = Node::CopySubtree(other.m_root);
            Node::DestroySubtree(m_root);
            m_root = copied;
            m_count = other.m_count;
            m_nullValue = other.m_nullValue;
        }
        return *this;
    }
    ~omi_Btree() { Node::DestroySubtree(m_root); }

    // A deep copy on the heap, owned by the caller.
    omi_Btree* Copy() const { return new omi_Btree(*this); }

    // Adds the pair; false and no change when the key is present (the old value stays).
    bool Insert(const K& key, const V& value) {
        if (m_root == nullptr) {
            m_root = new Node(key, value);
            m_count = 1;
            return true;
        }
        if (!m_root->Insert(key, value)) {
            return false;
        }
        ++m_count;
        if (Node* newRoot = m_root->Balance()) {
            m_root = newRoot;
        }
        return true;
    }

    // Removes the pair with key, destroying its key and value objects; false when absent.
    bool Remove(const K& key) {
        if (!Node::Remove(m_root, key)) {
            return false;
        }
        --m_count;
        if (m_root != nullptr) {
            if (Node* newRoot = m_root->Balance()) {
                m_root = newRoot;
            }
        }
        return true;
    }

    // The value stored for key, or the null value when key is absent (read only through it).
    V& Get(const K& key) {
        const Node* node = m_root != nullptr ? m_root->Find(key) : nullptr;
        return node != nullptr ? const_cast<Node*>(node)->m_value : m_nullValue;
    }
    const V& ConstGet(const K& key) const {
        const Node* node = m_root != nullptr ? m_root->Find(key) : nullptr;
        return node != nullptr ? node->m_value : m_nullValue;
    }
    bool IsMember(const K& key) const { return m_root != nullptr && m_root->Find(key) != nullptr; }
    int Count() const { return m_count; }

    static int Compare(const K& a, const K& b) { return BtreeCompare(a, b); }

    // The root node, for checks of the tree's shape.
    const omi_BtreeNode<K, V>* Root() const { return m_root; }

  private:
    friend class omi_BtreeIterator<K, V>;
    using Node = omi_BtreeNode<K, V>;

    Node* m_root;
    int m_count;
    V m_nullValue;
};

// One entry of an iterator's stack: a node and the link below it.
template <class K, class V>
struct omi_BtreeNodeLink : public mem_AllocationOperators {
    omi_BtreeNodeLink(const omi_BtreeNode<K, V>* node, omi_BtreeNodeLink* next)
        : m_node(node), m_next(next) {}
    const omi_BtreeNode<K, V>* m_node;
    omi_BtreeNodeLink* m_next;
};

template <class K, class V>
class omi_BtreeIterator {
  public:
    // An iterator over tree with an empty stack: call First() or Last() before reading.
    explicit omi_BtreeIterator(const omi_Btree<K, V>& tree) : m_tree(tree), m_top(nullptr) {}
    ~omi_BtreeIterator() { ClearStack(); }
    omi_BtreeIterator(const omi_BtreeIterator&) = delete;
    omi_BtreeIterator& operator=(const omi_BtreeIterator&) = delete;

    // Positions on the smallest key (done when the tree is empty).
    void First() {
        ClearStack();
        PushChain(m_tree.m_root, false);
    }
    // Positions on the largest key.
    void Last() {
        ClearStack();
        PushChain(m_tree.m_root, true);
    }
    // Moves to the next larger key; done after the largest.
    void Next() { Step(false); }
    // Moves to the next smaller key; done after the smallest.
    void Previous() { Step(true); }

    bool IsDone() const { return m_top == nullptr; }
    // Key and value of the current node; only while !IsDone().
    const K& CurrentKey() const { return m_top->m_node->m_key; }
    const V& CurrentValue() const { return m_top->m_node->m_value; }

  private:
    using Node = omi_BtreeNode<K, V>;
    using Link = omi_BtreeNodeLink<K, V>;

    void Push(const Node* node) { m_top = new Link(node, m_top); }
    const Node* Pop() {
        Link* top = m_top;
        const Node* node = top->m_node;
        m_top = top->m_next;
        delete top;
        return node;
    }
    void ClearStack() {
        while (m_top != nullptr) {
            Pop();
        }
    }

    // Pushes node and then its chain of left children (right children when reversed).
    void PushChain(const Node* node, bool reversed) {
        while (node != nullptr) {
            Push(node);
            node = reversed ? node->m_right : node->m_left;
        }
    }

    // In-order step; reversed exchanges left and right.
    void Step(bool reversed) {
        if (m_top == nullptr) {
            return;
        }
        const Node* current = m_top->m_node;
        const Node* ahead = reversed ? current->m_left : current->m_right;
        if (ahead != nullptr) {
            PushChain(ahead, reversed);
            return;
        }
        const Node* popped = Pop();
        while (m_top != nullptr) {
            const Node* parentAhead = reversed ? m_top->m_node->m_left : m_top->m_node->m_right;
            if (parentAhead != popped) {
                break;
            }
            popped = Pop();
        }
    }

    const omi_Btree<K, V>& m_tree;
    Link* m_top;
};

// omi_IntTable<V, A>: sparse table of values keyed by a signed int.
//
// Two omi_UintTable halves, both owned: a key k >= 0 lives in the non-negative half under k, a
// key k < 0 in the negative half under the magnitude of k (INT_MIN under 2147483648). The table
// does not own what pointer values point to. Nothing locks: a shared table is guarded by its
// owner. omi_IntTableIterator walks the negative keys and then the non-negative ones, each half
// in ascending order of magnitude; the table must not change while it walks.
#pragma once

#include "KEPBase/ProtectedInterfaces/omi_UintTable.h"
#include "base/mem_Allocation.h"

template <class V, class A>
class omi_IntTableIterator;

template <class V, class A>
class omi_IntTable : public mem_AllocationOperators {
  public:
    omi_IntTable() : m_negative(new Half), m_nonNegative(new Half) {}
    virtual ~omi_IntTable() {
        delete m_negative;
        delete m_nonNegative;
    }
    omi_IntTable(const omi_IntTable&) = delete;
    omi_IntTable& operator=(const omi_IntTable&) = delete;

    // Adds the pair; false (and no change) when the key is present.
    bool Insert(int key, const V& value) { return HalfOf(key)->Insert(Magnitude(key), value); }
    // Removes the key; false when absent.
    bool Remove(int key) { return HalfOf(key)->Remove(Magnitude(key)); }
    bool IsMember(int key) const { return HalfOf(key)->IsMember(Magnitude(key)); }
    // Stores the value of a present key in value; false and value untouched when absent.
    bool ConstGetValue(int key, V& value) const {
        return HalfOf(key)->ConstGetValue(Magnitude(key), value);
    }
    // The value cell of key, which must be present (test IsMember first).
    V& Get(int key) const { return HalfOf(key)->Get(Magnitude(key)); }
    bool IsEmpty() const { return m_negative->IsEmpty() && m_nonNegative->IsEmpty(); }
    int Count() const { return m_negative->Count() + m_nonNegative->Count(); }

  private:
    friend class omi_IntTableIterator<V, A>;

    // The table allocates its halves through mem_AllocationOperators.
    struct Half : public mem_AllocationOperators, public omi_UintTable<V, A> {};

    static unsigned Magnitude(int key) {
        // Unsigned negation keeps INT_MIN well defined: it maps to 2147483648.
        return key >= 0 ? static_cast<unsigned>(key) : 0u - static_cast<unsigned>(key);
    }
    Half* HalfOf(int key) const { return key < 0 ? m_negative : m_nonNegative; }

    Half* m_negative;
    Half* m_nonNegative;
};

template <class V, class A>
class omi_IntTableIterator {
  public:
    explicit omi_IntTableIterator(const omi_IntTable<V, A>& table)
        : m_negative(*table.m_negative), m_nonNegative(*table.m_nonNegative), m_inNegative(false) {}

    // Positions on the first key (done when the table is empty).
    void First() {
        m_inNegative = true;
        m_negative.First();
        if (m_negative.IsDone()) {
            m_inNegative = false;
            m_nonNegative.First();
        }
    }
    void Next() {
        if (m_inNegative) {
            m_negative.Next();
            if (m_negative.IsDone()) {
                m_inNegative = false;
                m_nonNegative.First();
            }
        } else {
            m_nonNegative.Next();
        }
    }
    bool IsDone() const { return !m_inNegative && m_nonNegative.IsDone(); }
    int CurrentKey() const {
        if (m_inNegative) {
            return static_cast<int>(0u - m_negative.CurrentKey());
        }
        return static_cast<int>(m_nonNegative.CurrentKey());
    }
    V CurrentValue() const {
        return m_inNegative ? m_negative.CurrentValue() : m_nonNegative.CurrentValue();
    }

  private:
    omi_UintTableIterator<V, A> m_negative;
    omi_UintTableIterator<V, A> m_nonNegative;
    bool m_inNegative;
};

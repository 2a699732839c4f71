// KEPBasVector<T>: typed front end of the vector engine KEPBasVectorGeneric.
//
// A contiguous array of T that owns its element objects (not what pointer elements point to).
// Elements are copied in with T's copy constructor and destroyed with its destructor through
// the replicator of T. Indexing is unchecked: callers test size() first. Nothing locks: a shared
// vector is guarded by its owner.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasReplicator.h"
#include "base/KEPBasVectorGeneric.h"
#include "base/mem_Allocation.h"

template <class T>
class KEPBasVector : public mem_AllocationOperators {
  public:
    KEPBasVector() : m_engine(KEPBasGetReplicator<T>()) {}
    KEPBasVector(const KEPBasVector& other) : m_engine(other.m_engine) {}
    KEPBasVector& operator=(const KEPBasVector& other) {
        m_engine = other.m_engine;
        return *this;
    }
    ~KEPBasVector() {}

    int size() const { return m_engine.Size(); }
    int Capacity() const { return m_engine.Capacity(); }
    bool empty() const { return m_engine.Size() == 0; }

    T* begin() { return reinterpret_cast<T*>(m_engine.Begin()); }
    T* end() { return reinterpret_cast<T*>(m_engine.End()); }
    const T* begin() const { return reinterpret_cast<const T*>(m_engine.Begin()); }
    const T* end() const { return reinterpret_cast<const T*>(m_engine.End()); }

    // The element at index; no bounds check.
    T& operator[](int index) { return begin()[index]; }
    const T& operator[](int index) const { return begin()[index]; }

    // Appends a copy of value (value may be an element of this vector).
    void push_back(const T& value) { m_engine.PushBack(&value); }
    void PushBack(const T& value) { m_engine.PushBack(&value); }
    // Removes the element at index, keeping the order of the others.
    void Erase(int index) { m_engine.Erase(index); }
    // Removes every element; the storage is kept.
    void Clear() { m_engine.Clear(); }
    // Makes room for at least count elements, so that as many appends allocate nothing.
    void Reserve(int count) { m_engine.Reserve(count); }
    void swap(KEPBasVector& other) { m_engine.swap(other.m_engine); }

  private:
    KEPBasVectorGeneric m_engine;
};

#include "base/KEPBasVectorGeneric.h"

#include <cstring>
#include <utility>

#include "base/mem_Allocation.h"

KEPBasVectorGeneric::KEPBasVectorGeneric(const KEPBasReplicatorGeneric& replicator)
    : m_elementSize(replicator.m_elementSize),
      m_copy(replicator.m_copy),
      m_destroy(replicator.m_destroy),
      m_begin(nullptr),
      m_end(nullptr),
      m_endOfCapacity(nullptr) {}

KEPBasVectorGeneric::KEPBasVectorGeneric(const KEPBasVectorGeneric& other)
    : m_elementSize(other.m_elementSize),
      m_copy(other.m_copy),
      m_destroy(other.m_destroy),
      m_begin(nullptr),
      m_end(nullptr),
      m_endOfCapacity(nullptr) {
    const int count = other.Size();
    if (count > 0) {
        m_begin = static_cast<char*>(mem_Malloc(m_elementSize * static_cast<std::size_t>(count)));
        m_copy(other.m_begin, m_begin, count);
        m_end = m_begin + m_elementSize * static_cast<std::size_t>(count);
        m_endOfCapacity = m_end;
    }
}

KEPBasVectorGeneric& KEPBasVectorGeneric::operator=(const KEPBasVectorGeneric& other) {
    if (this != &other) {
        KEPBasVectorGeneric copy(other);
        swap(copy);
    }
    return *this;
}

KEPBasVectorGeneric::~KEPBasVectorGeneric() {
    Clear();
    mem_Free(m_begin);
}

int KEPBasVectorGeneric::Capacity() const {
    return m_elementSize == 0 ? 0 : static_cast<int>((m_endOfCapacity - m_begin) / m_elementSize);
}

void KEPBasVectorGeneric::AdoptStorage(char* grown, int capacity) {
    const int size = Size();
    if (size > 0) {
        m_copy(m_begin, grown, size);
        if (m_destroy != nullptr) {
            m_destroy(m_begin, size);
        }
    }
    mem_Free(m_begin);
    m_begin = grown;
    m_end = grown + m_elementSize * static_cast<std::size_t>(size);
    m_endOfCapacity = grown + m_elementSize * static_cast<std::size_t>(capacity);
}

void KEPBasVectorGeneric::Reserve(int count) {
    if (count > Capacity()) {
        AdoptStorage(
            static_cast<char*>(mem_Malloc(m_elementSize * static_cast<std::size_t>(count))), count);
    }
}

void KEPBasVectorGeneric::PushBack(const void* element) {
    if (m_end == m_endOfCapacity) {
        // The element may live in the old storage: copy it into the new block before the old
        // one is released.
        const int size = Size();
        const int capacity = size < 4 ? 8 : size * 2;
        char* grown =
            static_cast<char*>(mem_Malloc(m_elementSize * static_cast<std::size_t>(capacity)));
        m_copy(element, grown + m_elementSize * static_cast<std::size_t>(size), 1);
        AdoptStorage(grown, capacity);
    } else {
        m_copy(element, m_end, 1);
    }
    m_end += m_elementSize;
}

void KEPBasVectorGeneric::Erase(int index) {
    const int size = Size();
    if (index < 0 || index >= size) {
        return;
    }
    char* slot = m_begin + m_elementSize * static_cast<std::size_t>(index);
    if (m_destroy == nullptr) {
        std::memmove(slot, slot + m_elementSize,
                     m_elementSize * static_cast<std::size_t>(size - index - 1));
    } else {
        m_destroy(slot, 1);
        for (int i = index + 1; i < size; ++i) {
            char* from = m_begin + m_elementSize * static_cast<std::size_t>(i);
            m_copy(from, from - m_elementSize, 1);
            m_destroy(from, 1);
        }
    }
    m_end -= m_elementSize;
}

void KEPBasVectorGeneric::Clear() {
    if (m_destroy != nullptr && m_end != m_begin) {
        m_destroy(m_begin, Size());
    }
    m_end = m_begin;
}

void KEPBasVectorGeneric::swap(KEPBasVectorGeneric& other) {
    std::swap(m_elementSize, other.m_elementSize);
    std::swap(m_copy, other.m_copy);
    std::swap(m_destroy, other.m_destroy);
    std::swap(m_begin, other.m_begin);
    std::swap(m_end, other.m_end);
    std::swap(m_endOfCapacity, other.m_endOfCapacity);
}

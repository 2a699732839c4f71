// Construction, insertion, removal and iteration of omi_UintTable; the look-ups are inline in
// its header.
#include "KEPBase/ProtectedInterfaces/omi_UintTable.h"

#include <climits>
#include <type_traits>

namespace {

// A block covers 2^20 keys, so at most 4096 blocks span the 32-bit key space.
constexpr unsigned kBlockShift = 20;
constexpr unsigned kMaxBlocks = 1u << (32 - kBlockShift);
constexpr unsigned kInBlockMask = (1u << kBlockShift) - 1;
// Values in arrays of 256 cells; presence words in arrays of 64 words (2048 keys).
constexpr unsigned kValueShift = 8;
constexpr unsigned kMaxValueArrays = 1u << (kBlockShift - kValueShift);
constexpr unsigned kBitShift = 6;
constexpr unsigned kMaxBitArrays = 1u << (kBlockShift - 5 - kBitShift);

// Grows a zero-filled table of pointers so that index fits; capped at limit entries.
template <class A, class P>
void GrowPointerTable(P**& table, unsigned& count, unsigned index, unsigned limit) {
    if (index < count) {
        return;
    }
    unsigned wanted = count < 4 ? 4 : count * 2;
    if (wanted <= index) {
        wanted = index + 1;
    }
    if (wanted > limit) {
        wanted = limit;
    }
    P** grown = static_cast<P**>(A::allocate(sizeof(P*) * wanted));
    for (unsigned i = 0; i < count; ++i) {
        grown[i] = table[i];
    }
    if (table != nullptr) {
        A::deallocate(table);
    }
    table = grown;
    count = wanted;
}

template <class V, class A>
void FreeBlock(omi_UintTableBlock<V, A>* block) {
    for (unsigned i = 0; i < block->m_values.m_arrayCount; ++i) {
        if (block->m_values.m_arrays[i] != nullptr) {
            A::deallocate(block->m_values.m_arrays[i]);
        }
    }
    if (block->m_values.m_arrays != nullptr) {
        A::deallocate(block->m_values.m_arrays);
    }
    for (unsigned i = 0; i < block->m_present.m_arrayCount; ++i) {
        if (block->m_present.m_arrays[i] != nullptr) {
            A::deallocate(block->m_present.m_arrays[i]);
        }
    }
    if (block->m_present.m_arrays != nullptr) {
        A::deallocate(block->m_present.m_arrays);
    }
    A::deallocate(block);
}

}  // namespace

template <class V, class A>
omi_UintTable<V, A>::omi_UintTable()
    : m_blocks(nullptr),
      m_entryCount(0),
      m_blockCount(0),
      m_inBlockMask(kInBlockMask),
      m_blockShift(kBlockShift) {
    // Cells live in zero-filled storage and are copied by assignment.
    static_assert(std::is_trivially_copyable<V>::value, "omi_UintTable holds plain values");
}

template <class V, class A>
omi_UintTable<V, A>::~omi_UintTable() {
    for (unsigned i = 0; i < m_blockCount; ++i) {
        if (m_blocks[i] != nullptr) {
            FreeBlock(m_blocks[i]);
        }
    }
    if (m_blocks != nullptr) {
        A::deallocate(m_blocks);
    }
}

template <class V, class A>
bool omi_UintTable<V, A>::Insert(unsigned key, const V& value) {
    if (IsMember(key)) {
        return false;
    }
    const unsigned blockIndex = key >> m_blockShift;
    GrowPointerTable<A>(m_blocks, m_blockCount, blockIndex, kMaxBlocks);
    Block*& block = m_blocks[blockIndex];
    if (block == nullptr) {
        block = static_cast<Block*>(A::allocate(sizeof(Block)));
        block->m_values.m_shift = kValueShift;
        block->m_values.m_mask = (1u << kValueShift) - 1;
        block->m_present.m_shift = kBitShift;
        block->m_present.m_mask = (1u << kBitShift) - 1;
    }
    const unsigned w = key & m_inBlockMask;

    omi_BlockedArray<V, A>& values = block->m_values;
    const unsigned valueArray = w >> values.m_shift;
    GrowPointerTable<A>(values.m_arrays, values.m_arrayCount, valueArray, kMaxValueArrays);
    if (values.m_arrays[valueArray] == nullptr) {
        values.m_arrays[valueArray] = static_cast<V*>(A::allocate(sizeof(V) * (values.m_mask + 1)));
    }
    values.m_arrays[valueArray][w & values.m_mask] = value;

    omi_BlkBitVect<A>& present = block->m_present;
    const unsigned word = w >> 5;
    const unsigned bitArray = word >> present.m_shift;
    GrowPointerTable<A>(present.m_arrays, present.m_arrayCount, bitArray, kMaxBitArrays);
    if (present.m_arrays[bitArray] == nullptr) {
        present.m_arrays[bitArray] =
            static_cast<unsigned*>(A::allocate(sizeof(unsigned) * (present.m_mask + 1)));
    }
    present.m_arrays[bitArray][word & present.m_mask] |= 1u << (w & 31u);

    ++block->m_entryCount;
    ++m_entryCount;
    return true;
}

template <class V, class A>
bool omi_UintTable<V, A>::Remove(unsigned key) {
    if (!IsMember(key)) {
        return false;
    }
    const unsigned blockIndex = key >> m_blockShift;
    Block* block = m_blocks[blockIndex];
    const unsigned w = key & m_inBlockMask;
    *block->m_values.CellAddress(w) = V();
    const unsigned word = w >> 5;
    omi_BlkBitVect<A>& present = block->m_present;
    present.m_arrays[word >> present.m_shift][word & present.m_mask] &= ~(1u << (w & 31u));
    --m_entryCount;
    if (--block->m_entryCount == 0) {
        FreeBlock(block);
        m_blocks[blockIndex] = nullptr;
    }
    return true;
}

template <class V, class A>
bool omi_UintTable<V, A>::FindFrom(unsigned from, unsigned& key) const {
    for (unsigned blockIndex = from >> m_blockShift; blockIndex < m_blockCount; ++blockIndex) {
        const Block* block = m_blocks[blockIndex];
        if (block == nullptr) {
            continue;
        }
        const bool firstBlock = blockIndex == (from >> m_blockShift);
        const unsigned startBit = firstBlock ? (from & m_inBlockMask) : 0;
        const omi_BlkBitVect<A>& present = block->m_present;
        const unsigned wordsPerArray = present.m_mask + 1;
        for (unsigned array = (startBit >> 5) >> present.m_shift; array < present.m_arrayCount;
             ++array) {
            const unsigned* words = present.m_arrays[array];
            if (words == nullptr) {
                continue;
            }
            for (unsigned i = 0; i < wordsPerArray; ++i) {
                const unsigned wordIndex = array * wordsPerArray + i;
                unsigned bits = words[i];
                if (wordIndex < (startBit >> 5)) {
                    continue;
                }
                if (wordIndex == (startBit >> 5)) {
                    bits &= ~0u << (startBit & 31u);
                }
                if (bits != 0) {
                    const unsigned w = wordIndex * 32 + static_cast<unsigned>(__builtin_ctz(bits));
                    key = (blockIndex << m_blockShift) | w;
                    return true;
                }
            }
        }
    }
    return false;
}

template <class V, class A>
omi_UintTableIterator<V, A>::omi_UintTableIterator(const omi_UintTable<V, A>& table)
    : m_table(table), m_key(0), m_done(true) {}

template <class V, class A>
void omi_UintTableIterator<V, A>::First() {
    m_done = !m_table.FindFrom(0, m_key);
}

template <class V, class A>
void omi_UintTableIterator<V, A>::Next() {
    if (m_done) {
        return;
    }
    if (m_key == UINT_MAX) {
        m_done = true;
        return;
    }
    m_done = !m_table.FindFrom(m_key + 1, m_key);
}

template <class V, class A>
bool omi_UintTableIterator<V, A>::IsDone() const {
    return m_done;
}

template <class V, class A>
unsigned omi_UintTableIterator<V, A>::CurrentKey() const {
    return m_key;
}

template <class V, class A>
V omi_UintTableIterator<V, A>::CurrentValue() const {
    return m_table.Get(m_key);
}

template class omi_UintTable<void*, KEPBasOmiDefaultAllocator>;
template class omi_UintTableIterator<void*, KEPBasOmiDefaultAllocator>;

// omi_UintTable<V, A>: sparse table of values keyed by an unsigned 32-bit key.
//
// The key space is cut into blocks (key >> block shift); a block is made on the first insertion
// into it and freed when its last entry goes. Inside a block the values sit in an
// omi_BlockedArray and their presence in an omi_BlkBitVect, both made of small arrays that are
// allocated on demand, so a table holding a few far-apart keys stays small. All storage comes
// from the allocator A, zero-filled. The look-up half is here; construction, insertion, removal
// and iteration are compiled into the base library for <void*, KEPBasOmiDefaultAllocator>.
// Nothing locks: a shared table is guarded by its owner.
#pragma once

#include <cstddef>
#include <cstring>

#include "base/KEPBasExport.h"
#include "base/mem_Allocation.h"

// Table storage from mem_Malloc, zero-filled; released with mem_Free.
struct KEPBAS_API KEPBasOmiDefaultAllocator {
    static void* allocate(std::size_t n) {
        void* memory = mem_Malloc(n);
        std::memset(memory, 0, n);
        return memory;
    }
    static void deallocate(void* memory) { mem_Free(memory); }
};

// Cells of one block, in arrays of (mask + 1) cells made on demand.
template <class V, class A>
struct omi_BlockedArray {
    // The value of cell w, or V() when its array does not exist.
    V GetCell(unsigned w) const {
        const V* cell = CellAddress(w);
        return cell != nullptr ? *cell : V();
    }
    // The address of cell w, or null when its array does not exist.
    V* CellAddress(unsigned w) const {
        const unsigned array = w >> m_shift;
        if (array >= m_arrayCount || m_arrays[array] == nullptr) {
            return nullptr;
        }
        return &m_arrays[array][w & m_mask];
    }

    V** m_arrays;
    unsigned m_arrayCount;
    unsigned m_shift;
    unsigned m_mask;
};

// Presence bits of one block: 32 bits a word, words in arrays of (mask + 1) made on demand.
template <class A>
struct omi_BlkBitVect {
    bool GetBit(unsigned w) const {
        const unsigned word = w >> 5;
        const unsigned array = word >> m_shift;
        if (array >= m_arrayCount || m_arrays[array] == nullptr) {
            return false;
        }
        return ((m_arrays[array][word & m_mask] >> (w & 31u)) & 1u) != 0;
    }

    unsigned** m_arrays;
    unsigned m_arrayCount;
    unsigned m_shift;
    unsigned m_mask;
};

template <class V, class A>
struct omi_UintTableBlock {
    omi_BlockedArray<V, A> m_values;
    omi_BlkBitVect<A> m_present;
    unsigned m_entryCount;
};

template <class V, class A>
class omi_UintTableIterator;

template <class V, class A>
class KEPBAS_API omi_UintTable {
  public:
    omi_UintTable();
    ~omi_UintTable();
    omi_UintTable(const omi_UintTable&) = delete;
    omi_UintTable& operator=(const omi_UintTable&) = delete;

    // Adds the pair; false (and no change) when the key is present.
    bool Insert(unsigned key, const V& value);
    // Removes the key; false when absent.
    bool Remove(unsigned key);
    // The smallest present key >= from, in key; false when there is none.
    bool FindFrom(unsigned from, unsigned& key) const;

    bool IsMember(unsigned key) const {
        const Block* block = BlockOf(key);
        return block != nullptr && block->m_present.GetBit(key & m_inBlockMask);
    }
    // Stores the value of a present key in value; false and value untouched when absent.
    bool ConstGetValue(unsigned key, V& value) const {
        const Block* block = BlockOf(key);
        if (block == nullptr || !block->m_present.GetBit(key & m_inBlockMask)) {
            return false;
        }
        value = block->m_values.GetCell(key & m_inBlockMask);
        return true;
    }
    // The value cell of key, which must be present.
    V& Get(unsigned key) const { return *BlockOf(key)->m_values.CellAddress(key & m_inBlockMask); }
    int Count() const { return m_entryCount; }
    bool IsEmpty() const { return m_entryCount == 0; }

  private:
    using Block = omi_UintTableBlock<V, A>;

    const Block* BlockOf(unsigned key) const {
        const unsigned index = key >> m_blockShift;
        if (index >= m_blockCount) {
            return nullptr;
        }
        return m_blocks[index];
    }

    Block** m_blocks;
    int m_entryCount;
    unsigned m_blockCount;
    unsigned m_inBlockMask;
    unsigned m_blockShift;
};

// Walks a table's keys in ascending order. The table must not change while it walks.
template <class V, class A>
class KEPBAS_API omi_UintTableIterator {
  public:
    explicit omi_UintTableIterator(const omi_UintTable<V, A>& table);
    void First();
    void Next();
    bool IsDone() const;
    unsigned CurrentKey() const;
    V CurrentValue() const;

  private:
    const omi_UintTable<V, A>& m_table;
    unsigned m_key;
    bool m_done;
};
